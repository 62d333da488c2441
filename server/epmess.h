#ifndef EPMESS_H
#define EPMESS_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Kind of a terminal message; its text travels in request field 0x01 and answer field 0x81.
enum typemess {
    PUR = 0,
    VOI = 1,
    REF = 2,
    STL = 3,
    AUT = 4,
    CMP = 5,
    PNG = 6,
    FUN = 7,
    IND = 8,
    JRN = 9,
    VER = 10,
    PIN = 11,
    VER2 = 12, // what a terminal record holds before its first request; text "VER"
    NUL = 13
};

// One TLV field. A default field is the "absent" field: tag 0 and a one-byte value 0, so
// callers can test presence by the tag and still read an empty text.
struct field {
    uint16_t tag;
    std::vector<unsigned char> value;

    field() : tag(0), value(1, 0) {}
    field(uint16_t t, std::vector<unsigned char> v) : tag(t), value(std::move(v)) {}
};

// True when the text holds a character other than the digits 0 to 9 (false for "").
bool hasSymbolic(const char* text);

// The terminal message codec: the request under construction and the last answer read.
class epmess {
public:
    typedef std::map<unsigned, field> fieldmap;

    uint8_t logLevel;   // traffic lines holding "PNG" are written only above 3
    uint8_t maskHead;   // card-number characters left visible at the front
    uint8_t maskTail;   // ... and at the end
    fieldmap requestFields;
    fieldmap responseFields; // container sub-fields are keyed by tag << 8
    bool successLog;
    bool inContainer;   // set by the reader at a container; the caller clears it

    epmess();
    ~epmess();

    void clBuffer();
    // The kind's constant text; also copied (4 bytes with its NUL) into dst when dst is set.
    const char* getMessText(typemess kind, char* dst = nullptr);

    field getField(unsigned key, fieldmap& map);
    field getField(unsigned key);
    // Copies the stored value of responseFields[key] into dst, never more than dstSize bytes
    // and always NUL-terminated (a longer value is cut). Returns the stored value's size,
    // 0 when absent (dst then unchanged).
    int getField(unsigned key, char* dst, size_t dstSize);
    template <size_t N>
    int getField(unsigned key, char (&dst)[N]) { return getField(key, dst, N); }

    // The answer field's value as text, up to its first NUL; "" when absent.
    std::string fieldText(unsigned key);

    void setField(unsigned key, std::vector<unsigned char> value, fieldmap& map);
    void setField(unsigned key, std::vector<unsigned char> value);

    // Request builders: each inserts one field under its tag; the first value stays.
    void addMessageId(typemess kind);
    void addECRnumber(unsigned char number);
    void addTraceNumber(unsigned number);
    void addTransactionAmount(unsigned amount);
    void addChainedFlag();
    void addFuncGetDiag();
    void addFuncUpdateKey();
    void addCurrency(const std::string& currency);
    void addInvoice(const std::string& invoice);
    void addCardDataEnc(const std::string& data);
    void addField(unsigned char tag, unsigned char width, unsigned value);

    // TLV writer: out receives the message built from requestFields.
    void creatData(std::vector<unsigned char>& out);
    // TLV reader: fills responseFields and post-processes; the count of fields read,
    // at most 255, and 0 only when the message was rejected or held no field.
    uint8_t parsMessage(const std::vector<unsigned char>& in);

    // Post-processing of a parsed answer.
    void addNewRespTag(std::string code);
    void setApprovedPin();
    void checkResponseText();
    void checkDateTime();
    void createDateTime();
    // Overwrites the start of text (at least 11 bytes) with the card scheme name.
    void getCardType(char* text);
    std::string maskCard(std::string card);

    // Appends the line of an approved purchase to the day's success file.
    void createSuccessLog();

private:
    void insertField(fieldmap& map, unsigned key, uint16_t tag, std::vector<unsigned char> value);
    void logTraffic(const std::string& line);
};

#endif
