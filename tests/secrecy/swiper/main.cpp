// A serial card reader in a process of its own, for the memory tests: only
// the host's memory may hold what the host process is searched for.
//
// Prints the path to open ("SERIAL://PORT=...,FORMAT=SLIP") as its first
// line, then swipes a card for every line read from standard input
// ("TRACK1<tab>TRACK2<tab>TRACK3"), as a serial reader without a device-table
// row reports it (a short report, clear tracks), and answers "swiped" or
// "failed". Ends at the end of its input.
#include <cstdio>
#include <iostream>
#include <string>

#include "PtyReader.h"
#include "SimulatedSwipe.h"

int main() {
    quorin_sim::PtyReader reader(quorin_sim::PtyReader::Framing::SLIP);
    if (!reader.ok()) {
        std::fprintf(stderr, "%s\n", reader.error().c_str());
        return 1;
    }
    std::cout << reader.serialPath() << std::endl;
    std::string line;
    unsigned int swipes = 0;
    while (std::getline(std::cin, line)) {
        std::string track[3];
        size_t start = 0;
        for (int n = 0; n < 3; ++n) {
            size_t tab = n < 2 ? line.find('\t', start) : std::string::npos;
            track[n] =
                line.substr(start, tab == std::string::npos ? std::string::npos : tab - start);
            start = tab == std::string::npos ? line.size() : tab + 1;
        }
        quorin_sim::SimulatedSwipe card(track[0], track[1], track[2]);
        bool sent = reader.sendCardData(card.report(0, std::string(), ++swipes));
        std::cout << (sent ? "swiped" : "failed") << std::endl;
    }
    return 0;
}
