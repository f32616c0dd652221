// One reader opened through the Ex generation of the API, closed when the
// object goes.
//
// The tool addresses every reader by its own handle. The first-generation
// functions (GetFirmware, StartTransaction, ...) work on "the" reader, which
// the library picks among the attached ones by itself, so they could not
// honour --device with several readers attached.
#pragma once

#include <string>
#include <vector>

namespace quorin::cli {

// The attached USB readers, as the library lists them.
std::vector<std::string> attachedReaders();

class ReaderHandle {
public:
    // Opens the reader at path; "" opens the first attached USB reader.
    // Throws CliError with a one-line reason when that is not possible.
    explicit ReaderHandle(const std::string& path);
    ~ReaderHandle();
    ReaderHandle(const ReaderHandle&) = delete;
    ReaderHandle& operator=(const ReaderHandle&) = delete;

    unsigned long handle() const { return m_handle; }
    const std::string& path() const { return m_path; }
    // The USB product ID; 0 for a reader on a serial port.
    int productId() const { return m_productId; }
    bool isSerial() const;
    // true when the reader can run EMV transactions: an extended-protocol
    // USB model, or a serial reader whose framing carries notifications.
    bool runsEmv() const;
    // Closes the reader; once this returns no callback of it runs or starts.
    void close();

    // Sends one command text and returns the response hex (upper case); the
    // result code goes to *result.
    std::string command(const std::string& text, int* result) const;
    std::string commandWithLength(const std::string& text, int* result) const;

private:
    unsigned long m_handle = 0;
    std::string m_path;
    int m_productId = 0;
};

}  // namespace quorin::cli
