// Reader strings as hidapi hands them out. The kernel keeps a USB string
// (manufacturer, product, serial number) in sysfs as UTF-8; hidapi's hidraw
// backend turns that into wide text with mbstowcs() in the process's locale
// and gives an empty text when it cannot (so in the "C" locale, any text
// that is not plain ASCII comes out empty). The libusb backend converts the
// device's UTF-16 descriptor itself, whatever the locale.
#pragma once

#include <string>

namespace quorin_sim {

class HidText {
public:
    // UTF-8 of wide text; code points beyond UTF-16's reach become '?'.
    static std::string utf8(const std::wstring& text);
    // What hidapi's hidraw backend makes of UTF-8 text from sysfs.
    static std::wstring hidraw(const std::string& utf8);
    // What hidapi's libusb backend makes of the same string: the code
    // points of the UTF-8 text (a byte that is not valid UTF-8 stands for
    // itself).
    static std::wstring libusb(const std::string& utf8);
};

}  // namespace quorin_sim
