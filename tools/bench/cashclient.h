// A cash register as the benchmark plays it: one TCP connection to the cash-register
// port, the greeting line first, then one request and its answer at a time.
#pragma once

#include <cstdint>
#include <string>

class CashClient {
public:
    CashClient() = default;
    ~CashClient() { close(); }
    CashClient(const CashClient&) = delete;
    CashClient& operator=(const CashClient&) = delete;

    // Connects and reads the greeting line, all within timeoutMs.
    bool open(uint16_t port, int timeoutMs, std::string& error);

    // Sends the request in one write and reads up to the end of its "mess" element.
    // The answer's "code" element goes to `code`.
    bool exchange(const std::string& request, int timeoutMs, std::string& code, std::string& error);

    void close();
    bool isOpen() const { return fd_ >= 0; }

private:
    bool readUntil(const char* marker, long long deadlineMs, std::string& error);

    int fd_ = -1;
    std::string buffer_;
};

long long monotonicMs();
long long monotonicUs();

// The purchase request of register `kkm`.
std::string purchaseRequest(unsigned kkm);
