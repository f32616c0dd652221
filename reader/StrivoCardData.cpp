// Card-data report decoding of the reader object (being built).
#include <cstring>

#include "reader/Strivo.h"

namespace quorin {

const CardEncodeTypeName card_encode_type_str[7] = {
    {0, "ISO"}, {1, "AAMVA"}, {2, "CADL"}, {3, "BLANK"}, {4, "OTHER"}, {5, "UNDETERMINED"}, {6, "NONE"},
};

void Strivo::getMSRResult(const unsigned char* /*data*/, int /*dataLen*/) {}
void Strivo::updateData() {}
void Strivo::extractData() {}
void Strivo::copyToMsr() {}
bool Strivo::decodeInputReport(const unsigned char* /*data*/, int /*dataLen*/) { return true; }
unsigned long Strivo::decode_ulong(int /*id*/, void* /*data*/, int /*len*/) { return 0; }
void Strivo::decode_bytes(int /*id*/, void* /*buffer*/, void* /*data*/, int /*len*/) {}
void Strivo::ExtractNameISO(const char* /*track*/) {}
void Strivo::ExtractNameAAMVA(const char* /*track*/) {}
std::string Strivo::GetCardDataStr(const char* /*lpStrFieldDelimiter*/) { return std::string(); }

}  // namespace quorin
