// Exported card-data accessors of the three generations. Every call reads a
// fresh, consistent copy of the reader's card record.
//
// The record and every text made from it are card data: the copies live in
// the card data pool (a CardDataBox, a CardText), which wipes them when they
// go, and the first generation's copies are written straight into the
// caller's buffer, never through a temporary on the stack. What the work
// leaves on the host's stack and in the registers is wiped on the way out
// (HostStackWipe).
#include <cstdio>
#include <cstring>
#include <string>

#include "Quorin.h"
#include "api/LocalDelegate.h"
#include "api/ReaderSession.h"
#include "common/CardDataAllocator.h"
#include "common/CardText.h"
#include "common/FieldText.h"
#include "common/Guard.h"
#include "common/ResultCode.h"
#include "reader/CardDataString.h"
#include "reader/MsrDataParser.h"

using namespace quorin;

namespace {

// The first-generation reader's record, when a reader is open and its card
// data is ready.
bool readyRecord(ZDMSRDATA& out) {
    std::shared_ptr<Strivo> reader = ReaderSession::instance().current();
    if (!reader || localDelegate().cardDataState() != ZEDRA_DATA_READY) {
        return false;
    }
    reader->copyCardData(out);
    return true;
}

// First generation: copy one field into the caller's buffer.
template <size_t N>
long copyField(char* Buffer, int* BufferLength, char (ZDMSRDATA::*field)[N]) {
    CardDataPool::HostStackWipe wipe;
    return guarded(1L, [&]() -> long {
        CardDataBox<ZDMSRDATA> msr;
        if (!readyRecord(*msr)) {
            return 1;
        }
        // The caller's buffer holds the field's width, terminator included.
        const size_t length = strnlen((*msr).*field, N - 1);
        if (Buffer != nullptr) {
            std::memcpy(Buffer, (*msr).*field, length);
            Buffer[length] = '\0';
        }
        if (BufferLength != nullptr) {
            *BufferLength = static_cast<int>(length);
        }
        return 0;
    });
}

// Plain generation: a text derived from the ready record, through the ring.
template <typename Fn>
const char* ringText(Fn&& derive) {
    CardDataPool::HostStackWipe wipe;
    return guarded(static_cast<const char*>(""), [&]() -> const char* {
        CardDataBox<ZDMSRDATA> msr;
        if (!readyRecord(*msr)) {
            return "";
        }
        const CardText text = derive(*msr);
        return ReaderSession::instance().staticString(text.c_str());
    });
}

template <size_t N>
const char* ringField(char (ZDMSRDATA::*field)[N]) {
    return ringText([field](const ZDMSRDATA& msr) { return CardText(viewOf(msr.*field)); });
}

CardText formatLong(const char* format, long value) {
    char text[32];
    std::snprintf(text, sizeof(text), format, value);
    return CardText(text);
}

// Parser-based getters: the masked tracks, parsed by the record's encode type.
template <typename Fn>
const char* parsedText(Fn&& pick) {
    return ringText([&](const ZDMSRDATA& msr) -> CardText {
        // Fetched through the ring, in this order, as the other getters do.
        const char* track3 = GetTrack3Masked();
        const char* track2 = GetTrack2Masked();
        const char* track1 = GetTrack1Masked();
        MsrDataParser parser(track1, track2, track3, static_cast<int>(msr.m_dwCardEncodeType));
        return pick(parser);
    });
}

std::string_view expirationDate(MsrDataParser& parser) {
    return parser.GetAttribute("ExpirationDate");
}

}  // namespace

extern "C" {

// ------------------------------------------------------------ first generation

QUORIN_API long QuorinGetMaskedTracks(char* Buffer, int* BufferLength) {
    return copyField(Buffer, BufferLength, &ZDMSRDATA::m_szCardDataMasked);
}
QUORIN_API long QuorinGetTrack1Masked(char* Buffer, int* BufferLength) {
    return copyField(Buffer, BufferLength, &ZDMSRDATA::m_szTrack1DataMasked);
}
QUORIN_API long QuorinGetTrack2Masked(char* Buffer, int* BufferLength) {
    return copyField(Buffer, BufferLength, &ZDMSRDATA::m_szTrack2DataMasked);
}
QUORIN_API long QuorinGetTrack3Masked(char* Buffer, int* BufferLength) {
    return copyField(Buffer, BufferLength, &ZDMSRDATA::m_szTrack3DataMasked);
}
QUORIN_API long QuorinGetTrack1(char* Buffer, int* BufferLength) {
    return copyField(Buffer, BufferLength, &ZDMSRDATA::m_szTrack1Data);
}
QUORIN_API long QuorinGetTrack2(char* Buffer, int* BufferLength) {
    return copyField(Buffer, BufferLength, &ZDMSRDATA::m_szTrack2Data);
}
QUORIN_API long QuorinGetTrack3(char* Buffer, int* BufferLength) {
    return copyField(Buffer, BufferLength, &ZDMSRDATA::m_szTrack3Data);
}
QUORIN_API long QuorinGetFluxmark(char* Buffer, int* BufferLength) {
    return copyField(Buffer, BufferLength, &ZDMSRDATA::m_szFluxmarkData);
}
QUORIN_API long QuorinGetFluxmarkStatus(char* Buffer, int* BufferLength) {
    return copyField(Buffer, BufferLength, &ZDMSRDATA::m_szFluxmarkStatus);
}
QUORIN_API long QuorinGetDeviceSerial(char* Buffer, int* BufferLength) {
    return copyField(Buffer, BufferLength, &ZDMSRDATA::m_szDeviceSerialNumber);
}
QUORIN_API long QuorinGetSessionID(char* Buffer, int* BufferLength) {
    return copyField(Buffer, BufferLength, &ZDMSRDATA::m_szDUKPTSessionID);
}
QUORIN_API long QuorinGetKSN(char* Buffer, int* BufferLength) {
    return copyField(Buffer, BufferLength, &ZDMSRDATA::m_szDUKPTKSN);
}

QUORIN_API long QuorinGetCardData(ZDMSRDATA* lpZDMSRDATA) {
    CardDataPool::HostStackWipe wipe;
    return guarded(1L, [&]() -> long {
        if (lpZDMSRDATA != nullptr) {
            // Straight into the host's buffer (untouched when not ready).
            return readyRecord(*lpZDMSRDATA) ? 0 : 1;
        }
        CardDataBox<ZDMSRDATA> msr;
        return readyRecord(*msr) ? 0 : 1;
    });
}

QUORIN_API long QuorinGetCardDataStr(char* lpStrData, char* lpStrFieldDelimiter) {
    CardDataPool::HostStackWipe wipe;
    return guarded(1L, [&]() -> long {
        CardDataBox<ZDMSRDATA> msr;
        if (!readyRecord(*msr)) {
            return 1;
        }
        // The host's buffer holds CARD_DATA_BUFFER_SIZE bytes and the
        // delimiter's length is the host's: a text that would not fit is
        // refused whole (a cut one would lose its last fields), and a
        // delimiter as long as the buffer is refused before it is even read
        // to its end.
        constexpr size_t CAPACITY = ReaderSession::CARD_DATA_BUFFER_SIZE;
        const char* delimiter = lpStrFieldDelimiter != nullptr ? lpStrFieldDelimiter : "";
        const size_t delimiterLength = strnlen(delimiter, CAPACITY);
        if (delimiterLength == CAPACITY) {
            return RC_BAD_ARGUMENT;
        }
        const CardText text =
            CardDataString::formatFirstGeneration(*msr, std::string(delimiter, delimiterLength));
        if (text.size() >= CAPACITY) {
            return RC_BAD_ARGUMENT;
        }
        if (lpStrData != nullptr) {
            std::memcpy(lpStrData, text.c_str(), text.size() + 1);
        }
        return 0;
    });
}

// ------------------------------------------------------------ plain generation

QUORIN_API const char* GetMaskedTracks(void) {
    return ringField(&ZDMSRDATA::m_szCardDataMasked);
}
QUORIN_API const char* GetTrack1Masked(void) {
    return ringField(&ZDMSRDATA::m_szTrack1DataMasked);
}
QUORIN_API const char* GetTrack2Masked(void) {
    return ringField(&ZDMSRDATA::m_szTrack2DataMasked);
}
QUORIN_API const char* GetTrack3Masked(void) {
    return ringField(&ZDMSRDATA::m_szTrack3DataMasked);
}
QUORIN_API const char* GetTrack1(void) {
    return ringField(&ZDMSRDATA::m_szTrack1Data);
}
QUORIN_API const char* GetTrack2(void) {
    return ringField(&ZDMSRDATA::m_szTrack2Data);
}
QUORIN_API const char* GetTrack3(void) {
    return ringField(&ZDMSRDATA::m_szTrack3Data);
}
QUORIN_API const char* GetFluxmark(void) {
    return ringField(&ZDMSRDATA::m_szFluxmarkData);
}
QUORIN_API const char* GetFluxmarkStatus(void) {
    return ringField(&ZDMSRDATA::m_szFluxmarkStatus);
}
QUORIN_API const char* GetSessionID(void) {
    return ringField(&ZDMSRDATA::m_szDUKPTSessionID);
}
QUORIN_API const char* GetKSN(void) {
    return ringField(&ZDMSRDATA::m_szDUKPTKSN);
}
QUORIN_API const char* GetPAN(void) {
    return ringField(&ZDMSRDATA::m_szPAN);
}

QUORIN_API const char* GetCardIIN(void) {
    return ringText([](const ZDMSRDATA& msr) {
        const std::string_view pan = viewOf(msr.m_szPAN);
        return CardText(pan.size() < 6 ? std::string_view() : pan.substr(0, 6));
    });
}

QUORIN_API const char* GetCardLast4(void) {
    return ringText([](const ZDMSRDATA& msr) {
        const std::string_view pan = viewOf(msr.m_szPAN);
        return CardText(pan.size() < 4 ? std::string_view() : pan.substr(pan.size() - 4));
    });
}

QUORIN_API const char* GetTrackDecodeStatus(void) {
    return ringText([](const ZDMSRDATA& msr) {
        char text[32];
        std::snprintf(text, sizeof(text), "%02lx%02lx%02lx",
                      static_cast<unsigned long>(msr.m_dwTrack1DcdStatus),
                      static_cast<unsigned long>(msr.m_dwTrack2DcdStatus),
                      static_cast<unsigned long>(msr.m_dwTrack3DcdStatus));
        return CardText(text);
    });
}

QUORIN_API const char* GetTrack1DecodeStatus(void) {
    return ringText(
        [](const ZDMSRDATA& msr) { return formatLong("%ld", msr.m_dwTrack1DcdStatus); });
}
QUORIN_API const char* GetTrack2DecodeStatus(void) {
    return ringText(
        [](const ZDMSRDATA& msr) { return formatLong("%ld", msr.m_dwTrack2DcdStatus); });
}
QUORIN_API const char* GetTrack3DecodeStatus(void) {
    return ringText(
        [](const ZDMSRDATA& msr) { return formatLong("%ld", msr.m_dwTrack3DcdStatus); });
}
QUORIN_API const char* GetEncodeType(void) {
    return ringText([](const ZDMSRDATA& msr) { return formatLong("%ld", msr.m_dwCardEncodeType); });
}
QUORIN_API const char* GetEncryptionStatus(void) {
    return ringText(
        [](const ZDMSRDATA& msr) { return formatLong("%04lx", msr.m_dwEncryptionStatus); });
}

QUORIN_API const char* GetCardName(void) {
    return parsedText([](MsrDataParser& p) { return CardText(p.GetAttribute("Name")); });
}
QUORIN_API const char* GetFirstName(void) {
    return parsedText([](MsrDataParser& p) { return CardText(p.GetAttribute("FirstName")); });
}
QUORIN_API const char* GetLastName(void) {
    return parsedText([](MsrDataParser& p) { return CardText(p.GetAttribute("Surname")); });
}
QUORIN_API const char* GetMiddleName(void) {
    return parsedText([](MsrDataParser& p) {
        const std::string_view initial = p.GetAttribute("MiddleInitial");
        const std::string_view suffix = p.GetAttribute("Suffix");
        CardText name(initial);
        if (!initial.empty() && !suffix.empty()) {
            name.append(" ");
        }
        name.append(suffix);
        return name;
    });
}
QUORIN_API const char* GetCardExpDate(void) {
    return parsedText([](MsrDataParser& p) { return CardText(expirationDate(p)); });
}
QUORIN_API const char* GetExpDate(void) {
    return parsedText([](MsrDataParser& p) { return CardText(expirationDate(p)); });
}
QUORIN_API const char* GetExpDateYear(void) {
    return parsedText([](MsrDataParser& p) { return CardText(expirationDate(p).substr(0, 2)); });
}
QUORIN_API const char* GetExpDateMonth(void) {
    return parsedText([](MsrDataParser& p) {
        const std::string_view date = expirationDate(p);
        return CardText(date.size() <= 2 ? std::string_view() : date.substr(2, 4));
    });
}
QUORIN_API const char* GetCardServiceCode(void) {
    return parsedText([](MsrDataParser& p) { return CardText(p.GetAttribute("ServiceCode")); });
}

QUORIN_API const char* GetCardData(void) {
    CardDataPool::HostStackWipe wipe;
    return guarded(static_cast<const char*>(""), []() -> const char* {
        ReaderSession& session = ReaderSession::instance();
        CardDataBox<ZDMSRDATA> msr;
        if (!readyRecord(*msr)) {
            return "";
        }
        const CardText text = CardDataString::formatFirstGeneration(*msr, "|");
        // The record's texts are bounded, so the string always fits; the
        // check keeps the buffer safe whatever the record holds.
        if (text.size() >= ReaderSession::CARD_DATA_BUFFER_SIZE) {
            return "";
        }
        std::memcpy(session.cardDataBuffer, text.c_str(), text.size() + 1);
        return session.cardDataBuffer;
    });
}

QUORIN_API int GetCardPANLength(void) {
    CardDataPool::HostStackWipe wipe;
    return guarded(0, [] {
        CardDataBox<ZDMSRDATA> msr;
        return readyRecord(*msr) ? static_cast<int>(strnlen(msr->m_szPAN, sizeof(msr->m_szPAN)))
                                 : 0;
    });
}

QUORIN_API long GetPANLength(void) {
    return GetCardPANLength();
}

QUORIN_API long GetFluxmarkLength(void) {
    CardDataPool::HostStackWipe wipe;
    return guarded(0L, [] {
        CardDataBox<ZDMSRDATA> msr;
        return readyRecord(*msr) ? msr->m_dwFluxmarkLength : 0L;
    });
}

QUORIN_API int GetResultCode(void) {
    return guarded(static_cast<int>(RC_NOT_OPEN), [] {
        std::shared_ptr<Strivo> reader = ReaderSession::instance().current();
        return reader ? reader->getResultCode() : static_cast<int>(RC_NOT_OPEN);
    });
}

QUORIN_API int GetReaderResultCode(void) {
    return guarded(-1, [] {
        std::shared_ptr<Strivo> reader = ReaderSession::instance().current();
        return reader ? reader->readerResultCode() : -1;
    });
}

QUORIN_API int GetSwipeCount(void) {
    return -1;
}

// ---------------------------------------------------------------- Ex generation

QUORIN_API const char* GetCardDataEx(unsigned long Handle) {
    CardDataPool::HostStackWipe wipe;
    return guarded(static_cast<const char*>(""), [&]() -> const char* {
        std::shared_ptr<Strivo> reader = ReaderSession::instance().find(Handle);
        if (!reader) {
            return "";
        }
        const CardText text = reader->GetCardDataStr("|");
        const char* out = "";
        ReaderSession::instance().withExDelegate(
            Handle, [&](LocalDelegateEx& d) { out = d.StaticString(text.c_str()); });
        return out;
    });
}

QUORIN_API long GetCardDataStructureEx(unsigned long Handle, ZDMSRDATA* msr) {
    CardDataPool::HostStackWipe wipe;
    return guarded(static_cast<long>(RC_BAD_ARGUMENT), [&]() -> long {
        std::shared_ptr<Strivo> reader = ReaderSession::instance().find(Handle);
        if (!reader || msr == nullptr) {
            return RC_BAD_ARGUMENT;
        }
        reader->copyCardData(*msr);
        return 0;
    });
}

QUORIN_API int GetResultCodeEx(unsigned long Handle) {
    return guarded(0, [&] {
        // The calling thread's own last command on this handle comes first:
        // another thread's command on the same reader does not change it.
        int code = 0;
        if (ReaderSession::threadResult(Handle, &code)) {
            return code;
        }
        std::shared_ptr<Strivo> reader = ReaderSession::instance().find(Handle);
        return reader ? reader->getResultCode() : 0;
    });
}

QUORIN_API int GetReaderResultCodeEx(unsigned long Handle) {
    return guarded(-1, [&] {
        int code = 0;
        int readerCode = -1;
        if (ReaderSession::threadResult(Handle, &code, &readerCode)) {
            return readerCode;
        }
        std::shared_ptr<Strivo> reader = ReaderSession::instance().find(Handle);
        return reader ? reader->readerResultCode() : -1;
    });
}

QUORIN_API unsigned long GetDroppedCallbackCountEx(unsigned long Handle) {
    return guarded(0UL, [&] {
        if (Handle == 0) {
            return localDelegate().droppedCallbacks();
        }
        unsigned long dropped = 0;
        ReaderSession::instance().withExDelegate(
            Handle, [&](LocalDelegateEx& d) { dropped = d.droppedCallbacks(); });
        return dropped;
    });
}

QUORIN_API unsigned long GetLostDataCountEx(unsigned long Handle) {
    return guarded(0UL, [&] {
        if (Handle == 0) {
            return localDelegate().lostData();
        }
        unsigned long lost = 0;
        ReaderSession::instance().withExDelegate(Handle,
                                                 [&](LocalDelegateEx& d) { lost = d.lostData(); });
        return lost;
    });
}

QUORIN_API const char* GetRawData(unsigned long Handle) {
    CardDataPool::HostStackWipe wipe;
    return guarded(static_cast<const char*>(""), [&]() -> const char* {
        ReaderSession& session = ReaderSession::instance();
        if (Handle == 0) {
            std::shared_ptr<Strivo> reader = session.current();
            return reader ? session.keepRawText(reader->getMsrRawData()) : "";
        }
        std::shared_ptr<Strivo> reader = session.find(Handle);
        if (!reader) {
            return "";
        }
        const CardText text = reader->getRawData();
        const char* out = "";
        session.withExDelegate(Handle,
                               [&](LocalDelegateEx& d) { out = d.StaticString(text.c_str()); });
        return out;
    });
}

}  // extern "C"
