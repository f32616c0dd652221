#include "filters/V5SLIP.h"

#include <algorithm>
#include <utility>

#include "common/stdafx.h"
#include "filters/RLE.h"

namespace quorin {

namespace {

constexpr size_t HEADER_BYTES = 3;

size_t lengthField(const CardBytes& payload) {
    return 256u * payload[1] + payload[2];
}

}  // namespace

V5SLIP::V5SLIP()
    : FramedFilter(std::string(1, static_cast<char>(SLIP_END)),
                   std::string(1, static_cast<char>(SLIP_END))) {
    Name = "SLIP";
}

int V5SLIP::FilterOutput(std::string HexMessage, std::string& channelName, int& channelId,
                         CardText& channelHexData) {
    channelName = "COMMAND";
    channelId = CHANNEL_FRAMED_COMMAND;
    std::vector<unsigned char> data = H2BV(HexMessage);
    if (data.size() > MAX_COMMAND_BYTES) {
        channelHexData.clear();
        return -1;
    }
    std::vector<unsigned char> payload;
    payload.reserve(data.size() + HEADER_BYTES);
    payload.push_back(0x05);
    payload.push_back(static_cast<unsigned char>(data.size() >> 8));
    payload.push_back(static_cast<unsigned char>(data.size() & 0xFF));
    payload.insert(payload.end(), data.begin(), data.end());

    std::vector<unsigned char> frame;
    frame.reserve(payload.size() * 2 + 2);
    frame.push_back(SLIP_END);
    for (unsigned char b : payload) {
        if (b == SLIP_END) {
            frame.push_back(SLIP_ESC);
            frame.push_back(SLIP_ESC_END);
        } else if (b == SLIP_ESC) {
            frame.push_back(SLIP_ESC);
            frame.push_back(SLIP_ESC_ESC);
        } else {
            frame.push_back(b);
        }
    }
    frame.push_back(SLIP_END);
    B2H(frame.data(), static_cast<int>(frame.size()), channelHexData);
    return static_cast<int>(channelHexData.size() / 2);
}

int V5SLIP::FilterInput(CardText HexMessage, std::string& channelName, int& channelId,
                        CardText& channelHexData) {
    m_keptHeaderBytes = 0;
    m_refused = false;
    return FramedFilter::FilterInput(std::move(HexMessage), channelName, channelId, channelHexData);
}

int V5SLIP::takeFrame(const CardText& frameData, std::string& channelName, int& channelId,
                      CardText& channelHexData) {
    // Unstuff in one left-to-right pass; an escape byte followed by
    // anything else is kept as it is. The payload is never longer than
    // the frame, so it is written in place and cut to size afterwards.
    CardBytes payload(frameData.size());
    const unsigned char* in = reinterpret_cast<const unsigned char*>(frameData.data());
    const size_t frameSize = frameData.size();
    size_t n = 0;
    size_t i = 0;
    while (i < frameSize) {
        unsigned char b = in[i];
        if (b == SLIP_ESC && i + 1 < frameSize) {
            unsigned char next = in[i + 1];
            if (next == SLIP_ESC_END || next == SLIP_ESC_ESC) {
                payload[n++] = next == SLIP_ESC_END ? SLIP_END : SLIP_ESC;
                i += 2;
                continue;
            }
        }
        payload[n++] = b;
        i += 1;
    }
    payload.resize(n);
    if (payload.size() < HEADER_BYTES + 1) {
        return 0;
    }

    CardBytes data;
    switch (payload[0]) {
        case 0x00:
        case 0x01:
        case 0x02:
        case 0x03: {
            // Card data (0, 1) or a notification (2, 3); odd types are
            // run-length encoded.
            const bool notification = payload[0] >= 0x02;
            channelId = notification ? CHANNEL_NOTIFICATION : CHANNEL_CARD_DATA;
            channelName = notification ? "NOTIFICATION" : "CARD DATA";
            data = (payload[0] & 0x01) != 0 ? ValidateRLE(payload) : ValidatePlainData(payload);
            break;
        }
        case 0x04:
            channelId = CHANNEL_RESPONSE;
            channelName = "RESPONSE";
            // A response cut short (or padded) is not the reader's answer.
            data = ValidatePlainData(payload);
            break;
        case 0x05:
            channelId = CHANNEL_COMMAND;
            channelName = "COMMAND";
            data.assign(payload.begin() + HEADER_BYTES, payload.end());
            break;
        default:
            return 0;
    }
    if (!data.empty() && (payload[0] == 0x01 || payload[0] == 0x03)) {
        m_keptHeaderBytes = HEADER_BYTES;
    }
    // Every frame of a known type that gets here carries data: without any,
    // it was refused.
    m_refused = data.empty();
    B2H(data.data(), static_cast<int>(data.size()), channelHexData);
    return static_cast<int>(channelHexData.size() / 2);
}

CardBytes V5SLIP::ValidatePlainData(const CardBytes& data) {
    if (data.size() < HEADER_BYTES) {
        return CardBytes();
    }
    size_t requiredLength = lengthField(data);
    if (data.size() != requiredLength + HEADER_BYTES) {
        return CardBytes();
    }
    return CardBytes(data.begin() + HEADER_BYTES, data.end());
}

CardBytes V5SLIP::ValidateRLE(const CardBytes& data) {
    if (data.size() < HEADER_BYTES) {
        return CardBytes();
    }
    // Decoded straight behind the header of the result, into exactly what
    // the length field announces (up to 65,535 bytes): decoding past it
    // fails. A failed decoding counts as no data, which only a length field
    // of 0 accepts.
    const unsigned long required = lengthField(data);
    CardBytes out(HEADER_BYTES + required);
    std::copy(data.begin(), data.begin() + HEADER_BYTES, out.begin());
    unsigned long decoded = required;
    const int result =
        DecodeRLEData(data.data() + HEADER_BYTES, static_cast<int>(data.size() - HEADER_BYTES),
                      out.data() + HEADER_BYTES, &decoded);
    if (result != RLE_OK) {
        decoded = 0;
    }
    if (decoded != required) {
        return CardBytes();
    }
    return out;
}

}  // namespace quorin
