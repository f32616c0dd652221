#include "SimulatedSwipe.h"

#include <utility>

#include "CardReport.h"
#include "VirtualModel.h"

namespace quorin_sim {

namespace {

constexpr size_t KEPT_DIGITS = 4;         // at each end of the account number
constexpr size_t EXPIRY_AND_SERVICE = 7;  // YYMM + service code, kept clear
constexpr size_t FLUXMARK_BYTES = 54;
constexpr size_t KSN_BYTES = 10;
constexpr size_t SESSION_ID_BYTES = 8;

// Masks text[begin, end) of an account number.
void maskAccount(std::string& text, size_t begin, size_t end) {
    if (end <= begin || end - begin <= 2 * KEPT_DIGITS) {
        return;
    }
    for (size_t i = begin + KEPT_DIGITS; i < end - KEPT_DIGITS; ++i) {
        text[i] = '*';
    }
}

// Zeroes the discretionary data: everything between the kept expiry and
// service code at `from` and the end sentinel.
void maskDiscretionary(std::string& text, size_t from) {
    size_t end = text.find('?', from);
    if (end == std::string::npos) {
        end = text.size();
    }
    for (size_t i = from + EXPIRY_AND_SERVICE; i < end; ++i) {
        text[i] = '0';
    }
}

// Deterministic filler bytes: the same swipe number gives the same bytes.
class Keystream {
public:
    explicit Keystream(unsigned int seed) : m_state(seed * 2654435761u + 0x9E3779B9u) {}
    unsigned char next() {
        m_state = m_state * 1103515245u + 12345u;
        return static_cast<unsigned char>(m_state >> 16);
    }

private:
    unsigned int m_state;
};

std::string scramble(const std::string& track, Keystream& keys) {
    std::string out = track;
    for (char& c : out) {
        c = static_cast<char>(static_cast<unsigned char>(c) ^ keys.next());
    }
    return out;
}

std::vector<unsigned char> filler(size_t n, Keystream& keys) {
    std::vector<unsigned char> bytes(n);
    for (auto& b : bytes) {
        b = keys.next();
    }
    return bytes;
}

}  // namespace

SimulatedSwipe::SimulatedSwipe(std::string track1, std::string track2, std::string track3)
    : m_track{std::move(track1), std::move(track2), std::move(track3)} {}

SimulatedSwipe SimulatedSwipe::sampleCard() {
    return SimulatedSwipe("%B4111111111111111^CARDHOLDER/SAMPLE^3012101000000000000?",
                          ";4111111111111111=30121010000000000000?", "");
}

std::string SimulatedSwipe::mask(const std::string& track) {
    std::string text = track;
    if (text.compare(0, 2, "%B") == 0) {
        size_t nameStart = text.find('^');
        size_t nameEnd = nameStart == std::string::npos ? nameStart : text.find('^', nameStart + 1);
        if (nameEnd == std::string::npos) {
            return text;
        }
        maskAccount(text, 2, nameStart);
        maskDiscretionary(text, nameEnd + 1);
    } else if (text.compare(0, 1, ";") == 0) {
        size_t separator = text.find('=');
        if (separator == std::string::npos) {
            return text;
        }
        maskAccount(text, 1, separator);
        maskDiscretionary(text, separator + 1);
    }
    return text;
}

std::vector<unsigned char> SimulatedSwipe::report(long productId, const std::string& serialNumber,
                                                  unsigned int swipeNumber) const {
    const VirtualModel* model = productId > 0 && productId <= 0xFFFF
                                    ? findVirtualModel(static_cast<uint16_t>(productId))
                                    : nullptr;
    const ReportLayout layout = model != nullptr ? model->report : ReportLayout::clearTracks();
    CardReport swipe(layout);
    Keystream keys(swipeNumber);
    for (int n = 1; n <= 3; ++n) {
        const std::string& track = m_track[n - 1];
        swipe.track(n, layout.encrypted ? scramble(track, keys) : track);
        if (layout.maskedTracks) {
            swipe.maskedTrack(n, mask(track));
        }
    }
    swipe.decodeStatus(0, 0, 0).encodeType(0);
    if (!layout.extended()) {
        return swipe.shortReport();
    }
    swipe.fluxmark(0, filler(FLUXMARK_BYTES, keys)).serialNumber(serialNumber);
    std::vector<unsigned char> ksn = {0xFF, 0xFF, 0x98, 0x76, 0x54, 0x32, 0x10, 0xE0, 0x00, 0x00};
    ksn[KSN_BYTES - 2] = static_cast<unsigned char>((swipeNumber >> 8) & 0x1F);
    ksn[KSN_BYTES - 1] = static_cast<unsigned char>(swipeNumber & 0xFF);
    swipe.ksn(ksn).sessionId(std::vector<unsigned char>(SESSION_ID_BYTES, 0));
    return swipe.extendedReport();
}

}  // namespace quorin_sim
