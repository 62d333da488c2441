#ifndef XMLFIELD_H
#define XMLFIELD_H

#include <string>

// One parsed cash-register request; a member stays empty when its element was
// not recognised. Digit texts keep their leading zeros.
struct xmlfield {
    std::string xmlDecl;
    std::string type;
    std::string card;
    std::string amount;
    std::string kkm;
    std::string trace;
    std::string crc;
    std::string cardholder;
    std::string applabel;
    std::string aid;
    std::string trancert;
    std::string pem;
    std::string cardid;
    std::string carddataenc;
    std::string invoice;
    std::string currency;
    bool chained = false;
};

#endif
