#ifndef WORK_PEER_H
#define WORK_PEER_H

// Reaches into the server core for the tests: its settings, maps and codec, and
// socket-pair connections whose far end the test reads and writes.

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config.h"
#include "log.h"
#include "test_files.h"
#include "work.h"

class workPeer {
public:
    static epmess& codec(work& w) { return w; }
    static asock& reactor(work& w) { return w; }
    static void setUtf(work& w, bool on) { w.utf = on; }
    static void setLoglevel(work& w, uint8_t level) { w.loglevel = level; }
    static mymap<ssock*>& listeners(work& w) { return w.mListen; }
    static mymap<ssock*>& terminals(work& w) { return w.mTerminal; }
    static mymap<ssock*>& cashboxes(work& w) { return w.mCashbox; }
    static mymap<state*>& states(work& w) { return w.mState; }
    static size_t kinds(work& w) { return w.kinds.size(); }
    static int* attachKind(work& w, ssock* s, int kind) { return w.attachKind(s, kind); }
    // What the dialogue keeps beside a record: the kind the cash register asked
    // for, and the traces sent to the terminal.
    static void setAsked(work& w, const state* s, typemess kind) { w.mProgress[s].asked = kind; }
    static void remember(work& w, state* s, uint32_t trace) { w.remember(s, trace); }
    // The connection whose request is outstanding, and whether it still waits for its answer.
    static void setAsker(work& w, const state* s, ssock* c, bool awaiting)
    {
        w.mProgress[s].asker = c;
        w.mProgress[s].awaiting = awaiting;
    }
    static ssock* asker(work& w, const state* s) { return w.mProgress[s].asker; }
    static bool awaiting(work& w, const state* s) { return w.mProgress[s].awaiting; }
    static std::vector<uint32_t> traces(work& w, const state* s) { return w.mProgress[s].traces; }
    static size_t tracesKept() { return work::TRACES_KEPT; }
    static uint32_t stl_timeout(work& w) { return w.stl_timeout; }
    static uint32_t pur_timeout(work& w) { return w.pur_timeout; }
    static uint32_t ref_timeout(work& w) { return w.ref_timeout; }
    static uint32_t voi_timeout(work& w) { return w.voi_timeout; }
    static uint32_t cmp_timeout(work& w) { return w.cmp_timeout; }
    static uint32_t png_timeout(work& w) { return w.png_timeout; }
    static uint32_t png_period(work& w) { return w.png_period; }
    static uint32_t voi_repeat(work& w) { return w.voi_repeat; }
    static uint8_t loadkeyon(work& w) { return w.loadkeyon; }
    static bool stlstarton(work& w) { return w.stlstarton; }
    static bool stltimeon(work& w) { return w.stltimeon; }
    static bool utf(work& w) { return w.utf; }
    static uint8_t loglevel(work& w) { return w.loglevel; }
    static uint8_t stlHour(work& w) { return w.stlHour; }
    static uint8_t stlMin(work& w) { return w.stlMin; }
    static int serviceport(work& w) { return w.serviceport; }

    // The dialogue's settings, as init would leave them after conversion.
    struct dialogueSettings {
        uint32_t stl_timeout = 60000;
        uint32_t pur_timeout = 60000;
        uint32_t ref_timeout = 60000;
        uint32_t voi_timeout = 60000;
        uint32_t cmp_timeout = 60000;
        uint32_t png_timeout = 5000;
        uint32_t png_period = 30000;
        uint32_t voi_repeat = 0;
        uint8_t loadkeyon = 0;
        bool stlstarton = false;
        bool stltimeon = false;
        uint8_t stlHour = 0;
        uint8_t stlMin = 0;
    };
    static void configure(work& w, const dialogueSettings& s)
    {
        w.stl_timeout = s.stl_timeout;
        w.pur_timeout = s.pur_timeout;
        w.ref_timeout = s.ref_timeout;
        w.voi_timeout = s.voi_timeout;
        w.cmp_timeout = s.cmp_timeout;
        w.png_timeout = s.png_timeout;
        w.png_period = s.png_period;
        w.voi_repeat = s.voi_repeat;
        w.loadkeyon = s.loadkeyon;
        w.stlstarton = s.stlstarton;
        w.stltimeon = s.stltimeon;
        w.stlHour = s.stlHour;
        w.stlMin = s.stlMin;
    }
};

// A scratch directory that becomes the working directory and takes the log.
class scratchDir {
    scratchTree tree{"dorvish-test"}; // removed after the working directory is back

public:
    scratchDir() : path(tree.path)
    {
        getcwd(old, sizeof old);
        chdir(path.c_str());
        setpath((path + "/test.log").c_str());
    }
    ~scratchDir() { chdir(old); }
    std::string log() const { return read(path + "/test.log"); }
    void write(const std::string& name, const std::string& text) const { writeFile(path + "/" + name, text); }
    static std::string read(const std::string& file) { return readFile(file); }
    std::string path;

private:
    char old[4096];
};

// One end of a socket pair in an ssock record; the test holds the other end.
struct pairConn {
    ssock* record;
    int peer;
    bool owned; // the test frees the record unless the reactor took it

    pairConn() : record(new ssock), peer(-1), owned(true)
    {
        int fds[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
        record->sock = fds[0];
        record->type = 2;
        record->sockKind = 1;
        peer = fds[1];
        fcntl(peer, F_SETFL, O_NONBLOCK);
    }
    ~pairConn()
    {
        if (owned) {
            if (record->sock >= 0)
                ::close(record->sock);
            delete record;
        }
        ::close(peer);
    }
    // Everything the server wrote so far.
    std::string received() const
    {
        std::string out;
        char buf[4096];
        ssize_t n;
        while ((n = ::read(peer, buf, sizeof buf)) > 0)
            out.append(buf, static_cast<size_t>(n));
        return out;
    }
    // Puts bytes into the record's read buffer as the reactor's read would.
    void arrive(const std::string& bytes)
    {
        size_t n = bytes.size() < ssock::BUFF_SIZE ? bytes.size() : ssock::BUFF_SIZE;
        memcpy(record->reBuff, bytes.data(), n);
        record->reResult = static_cast<unsigned short>(n);
    }
    bool peerClosed() const
    {
        char c;
        return ::read(peer, &c, 1) == 0;
    }
};

#endif
