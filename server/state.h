#ifndef STATE_H
#define STATE_H

#include <cstdint>
#include <string>

#include "epmess.h"

// Dialogue levels of a terminal record.
enum {
    STRNEW = 0,  // not started; the next tick picks key loading, settlement or idle
    STRKEY = 1,  // key loading in progress
    STRSTL = 2,  // settlement due or in progress
    STRIDLE = 3, // idle
    STRPROC = 4, // a request is outstanding at the terminal
    STRPING = 5  // a ping is outstanding
};

// What a connection is, kept behind the socket record's state pointer.
enum {
    CONN_CASHBOX = 1,
    CONN_TERMINAL = 2,
    CONN_SERVICE = 3
};

// The server's record of one terminal number N. It outlives the terminal's
// connections: a new connection carries on at the level the old one left.
struct state {
    uint8_t uEcr;          // N mod 100, the register number on the terminal link
    uint8_t uLevel;        // one of STRNEW..STRPING
    uint32_t uIdle;        // idle milliseconds counted by the one-second tick
    uint32_t uTrace;       // trace of the current operation
    uint32_t uAmount;      // amount of the current operation, minor units
    uint16_t uVoiCount;    // reversal steps of the outstanding request
    uint32_t uTimeout;     // timeout of the current operation, ms
    bool bStlDone;         // the day's settlement is done
    uint8_t uStlDay;       // day of the month of the last settlement
    typemess uOper;        // kind of the current operation
    std::string strXmlHead; // XML declaration of the last request

    explicit state(unsigned number)
        : uEcr(static_cast<uint8_t>(number % 100)), uLevel(STRNEW), uIdle(0), uTrace(0), uAmount(0),
          uVoiCount(0), uTimeout(0), bStlDone(false), uStlDay(0), uOper(VER2)
    {
    }
};

#endif
