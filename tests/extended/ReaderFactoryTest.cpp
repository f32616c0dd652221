// The factory's choice of reader class for each product ID and path.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <typeinfo>

#include "common/stdafx.h"
#include "extended/Veyra.h"
#include "extended/VeyraBle.h"
#include "extended/VeyraOEMStrivoBootLoader.h"
#include "extended/VeyraSerial.h"
#include "extended/tPivra.h"
#include "extended/tPivraBle.h"
#include "reader/Strivo.h"

using namespace quorin;

namespace {

std::unique_ptr<Strivo> create(long pid, const char* path) {
    CRConfigTable row;
    std::memset(&row, 0, sizeof(row));
    row.dwPID = pid;
    return std::unique_ptr<Strivo>(Strivo::createForRow(pid < 0 ? nullptr : &row, UPPER(path)));
}

}  // namespace

TEST(ReaderFactory, PicksTheExtendedReaderClassForEachRow) {
    struct Case {
        long pid;
        const char* path;
        const std::type_info& type;
    };
    const Case cases[] = {
        {0x19, "HID://x", typeid(Veyra)},
        {0x1a, "HID://x", typeid(Veyra)},
        {0x1d, "HID://x", typeid(Veyra)},
        {0x1e, "HID://x", typeid(Veyra)},
        {0x1c, "HID://x", typeid(tPivra)},
        {0x1f, "HID://x", typeid(tPivra)},
        {0x11c, "HID://x", typeid(tPivraBle)},
        {0x119, "HID://x", typeid(VeyraBle)},
        {0x5357, "HID://x", typeid(VeyraOEMStrivoBootLoader)},
        // A listed row wins over the path.
        {0x1c, "SERIAL://PORT=/dev/ttyS0", typeid(tPivra)},
        // Unlisted product IDs and no row at all go by the path.
        {0x20, "HID://x", typeid(Veyra)},
        {0x21, "serial://PORT=/dev/ttyS0", typeid(VeyraSerial)},
        {-1, "sErIaL://PORT=/dev/ttyUSB0", typeid(VeyraSerial)},
        {-1, "SERIAL://", typeid(VeyraSerial)},
        {-1, "HID://x", typeid(Veyra)},
        {-1, "", typeid(Veyra)},
    };
    for (const Case& c : cases) {
        std::unique_ptr<Strivo> reader = create(c.pid, c.path);
        ASSERT_NE(reader, nullptr) << std::hex << c.pid << " " << c.path;
        EXPECT_EQ(typeid(*reader), c.type) << std::hex << c.pid << " " << c.path;
    }
}
