#ifndef WORK_H
#define WORK_H

#include <sys/time.h>

#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "asock.h"
#include "epmess.h"
#include "eposp.h"
#include "epost.h"
#include "mymap.h"
#include "psnix.h"
#include "ssock.h"
#include "state.h"
#include "xmlfield.h"

// Help text of the service console, sent without a NUL.
extern const char SERVICE_COMMANDS[];
extern const size_t SERVICE_COMMANDS_LEN;

// Process ids of child programs that the server core stops when it ends.
extern std::vector<int> lPID;

// First byte of the last service command; 'p' or 'P' means paste mode, shared by every
// service connection.
extern unsigned char lastServiceCommand;

// Answer codes of the server's own.
enum {
    ERR_UNKNOWN_TYPE = 2,
    ERR_RRN_NOT_FOUND = 910,
    ERR_NO_CONNECTION = 911,
    ERR_NO_ANSWER = 912,
    ERR_INCORRECT_REQUEST = 913,
    ERR_PINPAD_BUSY = 914
};

// The server core: settings, listeners, connections, terminal records, and the
// cash-register documents. Road of one request: OnRead -> readCashbox ->
// parsXml -> proc -> codec -> frames -> terminal; its answer: OnRead ->
// readTerminal -> parsMessage -> createXml -> cash register.
class work : private asock, private epmess {
    friend class workPeer; // lets the tests reach the private bases

public:
    work();
    virtual ~work();

    // Reads the settings and opens the listeners; 1 on success, 0 on failure.
    int init();
    // The reactor loop, until *running is cleared or select fails.
    void run(unsigned char* running);

    void OnAccept(ssock* record) override;
    void OnConnect(ssock* record) override;
    void OnRead(ssock* record) override;
    void OnWrite(ssock* record) override;
    void OnClose(ssock* record) override;
    void OnTimeout(ssock* record) override;
    void OnError(ssock* record, short error, const char* step) override;

    // Fills out from the request text (read up to its first NUL); the count of
    // non-empty counted elements, 0 when nothing usable was found.
    unsigned short parsXml(char* text, unsigned short length, xmlfield* out);
    // The answer to the terminal's last message, converted when utf is on; empty
    // for an answer kind that has no document.
    std::string createXml(state* record);
    // Error answer for code, written to connection.
    void sendErr(ssock* connection, xmlfield* request, unsigned code);
    // Error answer through the record: to the cash register registered under uEcr,
    // dropped when there is none.
    void sendErr(state* record, unsigned code);

    // Builds the terminal request for a parsed cash-register request and sends or
    // queues it; 0, or the answer code of a refusal (2, 911; 912 when the frame
    // to queue behind a ping does not fit, so it never reaches the terminal).
    unsigned short proc(xmlfield* request, state* record);
    // Frames the TLV bytes into the connection's write buffer without writing;
    // false when the buffer could not take the whole frame (nothing appended).
    bool createRequest(ssock* connection, std::vector<unsigned char>& tlv);
    // createRequest, then write.
    void sendRequest(ssock* connection, std::vector<unsigned char>& tlv);
    // HHMMSS followed by the milliseconds, as one number.
    uint32_t getTrace();

    // The requests the server makes on its own, built into tlv.
    void doLoadKey(state* record, std::vector<unsigned char>& tlv);
    void doStl(state* record, std::vector<unsigned char>& tlv);
    void doPng(unsigned number, std::vector<unsigned char>& tlv);
    void doVoi(state* record, std::vector<unsigned char>& tlv);
    // Daily settlement: moves an idle record to STRSTL once the day's time is due.
    void stlTimeCheck(state* record);

    // One read of a service connection is one command.
    void procService(ssock* connection);
    // Starts the programs of the section's exec lines, once, before the loop.
    void startThread();

protected:
    // Local wall-clock time and the milliseconds of its second; trace numbers and
    // the daily settlement read the time only through here.
    virtual void localNow(struct tm& local, unsigned& millis);
    // The wall clock behind localNow.
    virtual struct timeval wallNow();
    // Monotonic milliseconds: the deadline of an outstanding request.
    virtual uint64_t monoNow();

private:
    eposp mEposp;
    epost mEpost;
    mymap<ssock*> mListen;
    mymap<ssock*> mTerminal;
    mymap<ssock*> mCashbox;
    mymap<state*> mState;
    int bInitDone;
    PS_INFO psInfo;
    uint8_t loglevel;
    uint8_t stlHour;
    uint8_t stlMin;
    uint32_t stl_timeout;
    uint32_t pur_timeout;
    uint32_t ref_timeout;
    uint32_t voi_timeout;
    uint32_t cmp_timeout;
    uint32_t png_timeout;
    uint32_t voi_repeat;
    uint32_t png_period;
    uint8_t loadkeyon;
    bool stlstarton;
    bool stltimeon;
    bool utf;
    int xmlport;
    int serviceport;

    // Traces a record remembers. A late answer can come after many quick
    // operations of the same terminal (each refused or answered in a second), so
    // the memory spans far more than the last few; server traces are times of day,
    // so a terminal numbering its answers on its own is still hardly ever taken
    // for a late one.
    static const size_t TRACES_KEPT = 64;

    // What the dialogue keeps per terminal record beside the record's fields.
    struct progress {
        // A request waits behind a ping in the terminal connection's write buffer.
        bool queued = false;
        // The last message parsed from this terminal since its request or reversal
        // went out passes the reversal success test. Per terminal, because the
        // codec's fields may hold another terminal's answer.
        bool accepted = false;
        // The kind the cash register asked for. uOper turns VOI when a reversal of
        // a purchase is refused; the purchase's own late answer still counts, and
        // its cash register has had its 912 already.
        typemess asked = NUL;
        // Traces sent to this terminal, oldest first, the current one among them.
        std::vector<uint32_t> traces;
        // The cash-register connection whose request is outstanding or queued; its
        // answer goes there and nowhere else. Null once that connection closed.
        ssock* asker = nullptr;
        // That request has not had its one answer yet.
        bool awaiting = false;
        // When that request's own timeout runs out (monoNow).
        uint64_t deadline = 0;
        // A financial request was answered 912 and no other operation has begun
        // since: an approval of it that comes now must be reversed.
        bool reversible = false;
        // Such an approval came and no reversal has been sent after it yet.
        bool reverseAfter = false;
    };
    std::map<const state*, progress> mProgress;

    // connKind of every listener and connection, owned here so that a closed
    // connection's copy can be released.
    std::map<const ssock*, std::unique_ptr<int>> kinds;

    // A registered listener, or null after logging why there is none.
    ssock* openListener(int port, int kind, unsigned short limit);
    int* attachKind(ssock* record, int kind);
    void releaseKind(ssock* record);
    // Closes a connection that the reactor owns.
    void drop(ssock* record);
    // Closes and frees a connection handed to OnAccept that was never registered.
    void refuse(ssock* record);

    void readCashbox(ssock* connection);
    void readTerminal(ssock* connection);
    void answerKey(ssock* terminal, state* record);
    void answerStl(ssock* terminal, state* record);
    void answerProc(ssock* terminal, state* record, unsigned number);
    void deliver(ssock* terminal, state* record, unsigned number);
    // The outstanding request's own answer after its 912: never delivered.
    void lateAnswer(ssock* terminal, state* record);
    // At idle or while a ping waits: an approval of the last financial request, which
    // was answered 912; true when the message was that.
    bool approvalAtRest(ssock* terminal, state* record);
    void endReversals(ssock* terminal, state* record);
    void sendReversal(ssock* terminal, state* record);
    void idleTick(ssock* terminal, state* record, unsigned number);
    void expireProc(ssock* terminal, state* record);
    // Arms the countdown, then frames and writes the request; a message that carries
    // a trace has it remembered.
    void send(ssock* terminal, state* record, std::vector<unsigned char>& tlv, unsigned countdown, bool traced);
    void settled(state* record);
    // The 912 that ends the repetitions of a reversal or completion of the cash
    // register, and its log line.
    void closingAnswer(state* record);
    // Field 0xA1 "Y", or response code "B4" or "930", in the answer just parsed.
    bool reversalAccepted();
    // Whether the message just parsed may answer the step the record waits for
    // (key loading, settlement or the outstanding request); a message of another
    // operation, or one nobody asked for, is logged and changes nothing.
    bool ownMessage(state* record);
    // The text of field 0x83 is the trace of an earlier operation of this terminal.
    bool earlierTrace(state* record, const std::string& text);
    void remember(state* record, uint32_t trace);
    // A request queued behind a ping that can no longer reach the terminal: its
    // cash register hears 912 now instead of never.
    void loseQueued(state* record);
    // The terminal's connection closed under an outstanding request: its cash
    // register hears 912 at the request's deadline unless the answer comes first.
    void terminalLost(state* record);
    // The one 912 of the outstanding request, to the connection that asked; nothing
    // when it has had its answer.
    void answerFailed(const state* record);
    // The request of this cash-register connection reached its deadline.
    void askerExpired(ssock* connection);
    // A closing connection can no longer be anyone's asker.
    void forgetAsker(const ssock* connection);
    // The terminal number N of a record (uEcr is only N modulo 100).
    unsigned numberOf(const state* record);
    // The error answer through a record, written to connection.
    void recordErr(ssock* connection, const state* record, unsigned code);
    // Response code 0, 00 or 000 in the answer just parsed.
    bool approved();
    // The "ERR: " line of the answer just parsed, which came after its request's 912.
    void logLateAnswer();
    // False when the write buffer refused the text (nothing appended).
    bool placeText(ssock* connection, const std::string& text);
    void sendText(ssock* connection, const std::string& text);

    // CP866 -> UTF-8 when utf is on; otherwise the text as built.
    std::string toWire(const std::string& text, const char* from, const char* to);
};

#endif
