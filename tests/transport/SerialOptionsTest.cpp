#include <gtest/gtest.h>

#include "filters/FormatFilter.h"
#include "transport/SerialConnection.h"
#include "transport/SerialOptions.h"

using namespace quorin;

TEST(SerialOptionsTest, DefaultsAndScheme) {
    SerialOptions options;
    EXPECT_EQ(options.baudRate, 115200);
    EXPECT_EQ(options.dataFormat, FormatFilter::GetFilter("SLIP"));
    EXPECT_EQ(options.endingByte, "0D");
    EXPECT_EQ(options.uetx, 13);
    EXPECT_TRUE(options.portName.empty());

    EXPECT_TRUE(SerialOptions::hasScheme("SERIAL://"));
    EXPECT_TRUE(SerialOptions::hasScheme("serial://port=x"));
    EXPECT_FALSE(SerialOptions::hasScheme("SERIAL:/"));
    EXPECT_FALSE(SerialOptions::hasScheme("HID://SERIAL://"));
    EXPECT_FALSE(SerialOptions::hasScheme(nullptr));
}

TEST(SerialOptionsTest, KeysAndValuesAreTrimmedAndCaseFreeExceptThePortName) {
    SerialOptions options;
    ASSERT_TRUE(options.apply("port=/dev/ttyS1,baudrate=9600,format=legacy"));
    EXPECT_EQ(options.portName, "/dev/ttyS1");
    EXPECT_EQ(options.baudRate, 9600);
    EXPECT_EQ(options.dataFormat, FormatFilter::GetFilter("LEGACY"));

    SerialOptions spaced;
    ASSERT_TRUE(spaced.apply(" Port \t=  /dev/My Tty\t, \tBaudRate= 19200 ,Format =\tTideLink "));
    EXPECT_EQ(spaced.portName, "/dev/My Tty");
    EXPECT_EQ(spaced.baudRate, 19200);
    EXPECT_EQ(spaced.dataFormat, FormatFilter::GetFilter("TIDELINK"));
}

TEST(SerialOptionsTest, MalformedAndUnknownOptionsAreIgnoredLaterOnesWin) {
    SerialOptions options;
    ASSERT_TRUE(
        options.apply("FOO=1,PORT,PORT=,PORT= \t,=X,A=B=C,PORT=/dev/a,,BAUDRATE=2400,"
                      "BAUDRATE=4800,PORT=/dev/b"));
    EXPECT_EQ(options.portName, "/dev/b");
    EXPECT_EQ(options.baudRate, 4800);

    // Numbers are whole decimal texts, clamped to the int range; a data size
    // that is not 5, 6 or 7 is 8.
    ASSERT_TRUE(options.apply("DATABITS=7bits,CRCMODE=-3,BAUDRATE=99999999999999"));
    EXPECT_EQ(options.dataBits, 8);
    EXPECT_EQ(options.crcMode, -3);
    EXPECT_EQ(options.baudRate, 2147483647);
}

TEST(SerialOptionsTest, EnumeratedValuesAcceptTheirSetAndRefuseTheRest) {
    const char* parities[][2] = {
        {"NONE", "N"}, {"ODD", "O"}, {"EVEN", "E"}, {"MARK", "M"}, {"SPACE", "S"}};
    for (int i = 0; i < 5; ++i) {
        for (const char* word : parities[i]) {
            SerialOptions options;
            ASSERT_TRUE(options.apply(std::string("PARITY=") + word)) << word;
            EXPECT_EQ(options.parity, i) << word;
        }
    }
    SerialOptions lower;
    ASSERT_TRUE(lower.apply("parity=even"));
    EXPECT_EQ(lower.parity, 2);

    SerialOptions stops;
    ASSERT_TRUE(stops.apply("STOPBITS=1.5"));
    EXPECT_EQ(stops.stopBits, 1);
    ASSERT_TRUE(stops.apply("STOPBITS=2"));
    EXPECT_EQ(stops.stopBits, 2);
    ASSERT_TRUE(stops.apply("STOPBITS=1"));
    EXPECT_EQ(stops.stopBits, 0);

    SerialOptions bytes;
    ASSERT_TRUE(bytes.apply("STARTINGBYTE=0x02,ENDINGBYTE=0x03"));
    EXPECT_EQ(bytes.startingByte, "02");
    EXPECT_EQ(bytes.ustx, 2);
    EXPECT_EQ(bytes.endingByte, "03");
    EXPECT_EQ(bytes.uetx, 3);
    ASSERT_TRUE(bytes.apply("STARTINGBYTE=NONE,ENDINGBYTE=0xa"));
    EXPECT_EQ(bytes.startingByte, "");
    EXPECT_EQ(bytes.endingByte, "A");

    for (const char* bad :
         {"PARITY=X", "PARITY=NO", "STOPBITS=3", "STOPBITS=1.0", "STARTINGBYTE=0X",
          "STARTINGBYTE=02", "STARTINGBYTE=0XZZ", "ENDINGBYTE=NONE", "ENDINGBYTE=x0D",
          "ENDINGBYTE=0X1234", "ENDINGBYTE=0X0G", "FORMAT=RAW", "FORMAT=SLIP2",
          "BAUDRATE=115200abc", "BAUDRATE=x", "CRCMODE=x"}) {
        SerialOptions options;
        EXPECT_FALSE(options.apply(std::string("PORT=/dev/x,") + bad)) << bad;
    }
}

TEST(SerialOptionsTest, SpeedTableAndPortNumbers) {
    for (int rate :
         {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 500000, 576000, 921600}) {
        speed_t code = B0;
        EXPECT_TRUE(SerialOptions::speedCode(rate, &code)) << rate;
        EXPECT_NE(code, B0) << rate;
    }
    speed_t code;
    ASSERT_TRUE(SerialOptions::speedCode(9600, &code));
    EXPECT_EQ(code, static_cast<speed_t>(B9600));
    for (int rate : {14400, 0, -9600, 1200, 1000000}) {
        EXPECT_FALSE(SerialOptions::speedCode(rate, &code)) << rate;
    }

    EXPECT_EQ(SerialConnection::getPortNumber("COM7"), 7);
    EXPECT_EQ(SerialConnection::getPortNumber("COM"), 0);
    EXPECT_EQ(SerialConnection::getPortNumber("/dev/ttyS1"), 0);
    EXPECT_EQ(SerialConnection::enumDevices(nullptr), 0);
}

TEST(SerialOptionsTest, CharacterFormatOfTheLine) {
    const tcflag_t FORMAT_BITS = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    struct Case {
        const char* options;
        tcflag_t flags;
    };
    const Case cases[] = {
        {"", CS8},  // nothing asked: 8N1
        {"DATABITS=7,PARITY=E,STOPBITS=1", CS7 | PARENB},
        {"DATABITS=5,PARITY=ODD,STOPBITS=1.5", CS5 | PARENB | PARODD | CSTOPB},
        {"DATABITS=6,PARITY=MARK,STOPBITS=2", CS6 | PARENB | CMSPAR | PARODD | CSTOPB},
        {"PARITY=SPACE", CS8 | PARENB | CMSPAR},
        // DATABITS is not validated; a size no line has keeps 8 bits.
        {"DATABITS=9,PARITY=NONE", CS8},
        {"DATABITS=0", CS8},
    };
    for (const Case& c : cases) {
        SerialOptions options;
        ASSERT_TRUE(options.apply(c.options)) << c.options;
        EXPECT_EQ(options.characterFormat() & FORMAT_BITS, c.flags) << c.options;
        EXPECT_EQ(options.characterFormat() & ~FORMAT_BITS, 0u) << c.options;
    }
}
