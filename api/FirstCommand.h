// The first generation's synchronous command as the library's own functions
// use it: besides QuorinSendCommand's result, the exchange's own result code
// (the reader's result, its 16-bit code for an extended answer). A function
// that reports a command's outcome takes it from here, never from
// GetResultCode() read afterwards, which an asynchronous command finishing
// meanwhile may have changed.
#pragma once

namespace quorin {

// QuorinSendCommand; *code: the exchange's code (the result itself when the
// command did not reach the reader).
long sendFirstCommand(const char* lpCmd, long lpdwCmdLen, char* lpResult, long lpdwResultLen,
                      int* code);
// SendCommand (the answer in the shared result buffer); *code as above.
const char* sendCommandWithCode(const char* lpCmd, int* code);

}  // namespace quorin
