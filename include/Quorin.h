/*
 * Quorin: access to secure magnetic-stripe and EMV card readers on USB HID
 * and serial ports.
 *
 * This header is the whole public contract of libquorin. It compiles as C
 * (C99) and as C++.
 *
 * Three generations of functions share one engine:
 *  - first generation, prefix "Quorin": one reader at a time, results copied
 *    into caller buffers;
 *  - plain generation (OpenDevice, GetTrack1, SendCommand, OnDataReceived...):
 *    the same single reader, results in library buffers;
 *  - Ex generation (suffix "Ex"): any number of readers, each addressed by the
 *    handle OpenDeviceEx returned; every callback gets the handle and the
 *    host's object pointer back.
 *
 * THREADS AND LIFETIMES (the library's whole thread contract)
 *
 * Host threads. The first-generation and plain functions (and the
 * process-wide settings: SetCommandTimeout, SetVelarcMode, the first-
 * generation registrations) expect one host thread at a time. The Ex
 * functions may be called at the same time from different host threads on
 * different readers; calls on one reader from several threads are safe too,
 * and its commands then run one after the other (below).
 *
 * Callback threads. Every host callback runs on a thread of the library,
 * never on the thread that called into the library and never on a reader's
 * receiving thread. The one exception is the error callback (OnError,
 * OnErrorEx), which runs on the reader's receiving thread: it must return
 * quickly and must not close its own reader.
 *
 * Order. The callbacks of one reader (card data, card and device state,
 * notifications, the five transaction callbacks, the extended-response
 * callback, answers of asynchronous commands, connection changes) start in
 * the order their events arrived, each after the previous one returned. A
 * callback still running one second after it started stops holding back the
 * ones behind it: they go on, in order, on another thread, so a host that
 * waits inside a callback for a later event does not deadlock its reader.
 * The first-generation callbacks form one such sequence, each Ex reader
 * another; sequences do not hold each other back. The reader arrival and
 * removal callback (OnDeviceListChanged) is a sequence of its own that is
 * never handed on: its calls never overlap.
 *
 * Bounds. The library runs at most 64 callback threads at a time; more
 * callbacks wait their turn. At most 4096 callbacks wait per reader; an
 * event beyond that is dropped, and the drop is reported: the error callback
 * receives "Callback queue full: event dropped!" and GetDroppedCallbackCountEx
 * counts it. Nothing is dropped silently.
 *
 * Commands. One command exchange runs on a reader at a time, whoever sends
 * it (synchronous calls of any generation, asynchronous workers, EMV and
 * device-information queries); each caller gets its own answer.
 * GetResultCodeEx returns the result of the calling thread's last command on
 * that handle. Asynchronous commands (SendData, SendDataEx) of one reader are
 * sent one after the other, in the order they were given.
 *
 * Closing. When CloseDeviceEx or CloseDevice returns, no callback of that
 * reader runs or will start, and its device is closed. The close, in order:
 * makes the handle unknown to every later call; drops the asynchronous
 * commands not yet sent and waits for the exchange in flight; stops the
 * reader's events; then waits until every callback of an event that arrived
 * before it has run and returned. The wait has no time limit: a callback
 * must not wait for the thread that closes its reader. A close called from
 * inside one of that reader's own callbacks does not wait for that callback
 * (it returns before it), but waits for all the others. Closing reader B
 * from a callback of reader A waits for B's callbacks as any close does.
 *
 * Handles. A handle is valid from OpenDeviceEx to CloseDeviceEx. Handles are
 * never reused in a process: after the close, the handle means the same as
 * an unknown one (texts "", results 0 or 6, callbacks ignored), whatever is
 * opened later.
 *
 * Texts. A text passed to a callback is valid only during the call. Ex
 * command results (SendCommandEx, SendCommandWithLengthEx) are kept per
 * calling thread and stay valid until that thread's 32nd later such call.
 * The texts of the first and plain generations live in shared library
 * buffers until later calls reuse them (see each function).
 *
 * Unloading. The library closes readers left open when it is unloaded or
 * the process exits, and waits up to two seconds for callbacks still
 * running.
 *
 * Returned texts live in library buffers and rings and stay valid only until
 * later calls reuse them; copy what you keep. Text functions never return
 * NULL.
 *
 * Result codes along the command path:
 *   0   success
 *   1   time-out, or the reader stayed busy
 *   3   with-length command text shorter than four characters
 *   5   no reader open, or the connection was closed
 *   6   command text or argument missing, too short, too long or unusable
 *   15  another first-generation command is in flight
 *   17  device transfer failed, reader answered with an error status, or
 *       packets disagree
 *   255 an internal exception was caught
 *   any other value is the reader's own result byte.
 */
#ifndef QUORIN_H
#define QUORIN_H

#ifdef __cplusplus
#include <cstddef>
#else
#include <stdbool.h>
#include <stddef.h>
#endif

#if defined(__GNUC__)
#define QUORIN_API __attribute__((visibility("default")))
#else
#define QUORIN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------ types */

/** Status enumerations (32-bit). */
typedef enum EErrorValues {
    ZEDRA_ST_OK = 0,
    ZEDRA_ST_FAILED = 1,
    ZEDRA_ST_OPEN = 2,
    ZEDRA_ST_INVALID_PARAM = 3
} EErrorValues;

typedef enum EDeviceStateValues {
    ZEDRA_STATE_DISCONNECTED = 0,
    ZEDRA_STATE_CONNECTED = 1,
    ZEDRA_STATE_ERROR = 2
} EDeviceStateValues;

typedef enum ECardReadValues { ZEDRA_CARDREAD_OK = 0, ZEDRA_CARDREAD_ERROR = 1 } ECardReadValues;

typedef enum ECardDataStateValues {
    ZEDRA_DATA_NOTREADY = 0,
    ZEDRA_DATA_READY = 1,
    ZEDRA_DATA_ERROR = 2
} ECardDataStateValues;

/**
 * The card record of the last swipe. Every text is NUL-terminated within its
 * array. Layout: the character arrays, then the integers, in this order.
 */
typedef struct _ZDMSRDATA {
    char m_szCardData[768];       /**< the three tracks joined */
    char m_szCardDataMasked[768]; /**< the three masked tracks joined */
    char m_szTrack1Data[256];     /**< hex of the encrypted track, or its text */
    char m_szTrack2Data[256];
    char m_szTrack3Data[256];
    char m_szTrack1DataMasked[256];
    char m_szTrack2DataMasked[256];
    char m_szTrack3DataMasked[256];
    char m_szFluxmarkData[256];   /**< stripe-authentication block, hex */
    char m_szCardEncodeType[256]; /**< "ISO", "AAMVA", "CADL", "BLANK", ... */
    char m_szFluxmarkStatus[256];
    char m_szDUKPTSessionID[256];
    char m_szDeviceSerialNumber[256];
    char m_szDUKPTKSN[256];
    char m_szFirstName[256];
    char m_szLastName[256];
    char m_szPAN[256];
    char m_szMonth[256];
    char m_szYear[256];
    long m_dwReaderID; /**< USB product ID of the reader */
    long m_dwFluxmarkLength;
    long m_dwFluxmarkStatus;
    long m_dwTrack1Length;
    long m_dwTrack2Length;
    long m_dwTrack3Length;
    long m_dwTrack1LengthMasked;
    long m_dwTrack2LengthMasked;
    long m_dwTrack3LengthMasked;
    long m_dwCardEncodeType;
    long m_dwTrack1DcdStatus;
    long m_dwTrack2DcdStatus;
    long m_dwTrack3DcdStatus;
    long m_dwCardSwipeStatus; /**< ZEDRA_CARDREAD_ERROR when a track failed to decode */
    long m_dwBatteryLevel;
    long m_dwEncryptionStatus;
} ZDMSRDATA;

/** Callback types. Texts are valid only during the call. */
typedef void (*CallBackCardDataStateChanged)(long state);
typedef void (*CallBackDeviceStateChanged)(long state);
typedef void (*CallBackOnCardDataReceived)(const char* text);
typedef void (*CallBackOnDeviceResponse)(const char* text);
typedef void (*CallBackOnDeviceExtendedResponse)(const char* text);
typedef void (*CallBackOnNotification)(unsigned int messageId, const char* text);
typedef void (*CallBackCardDataStateChangedEx)(unsigned long Handle, void* Obj, long state);
typedef void (*CallBackDeviceStateChangedEx)(unsigned long Handle, void* Obj, long state);
typedef void (*CallBackOnCardDataReceivedEx)(unsigned long Handle, void* Obj, const char* text);
typedef void (*CallBackOnDeviceResponseEx)(unsigned long Handle, void* Obj, const char* text);
typedef void (*CallBackOnDeviceExtendedResponseEx)(unsigned long Handle, void* Obj,
                                                   const char* text);
typedef void (*CallBackOnNotificationEx)(unsigned long Handle, void* Obj, unsigned int messageId,
                                         const char* text);

/* ---------------------------------------------------------------- session */

/**
 * Lists the attached USB readers.
 * @return the device paths ("HID://" + serial number, or "HID://" + the
 *         system path when a reader has no serial number) joined by ",";
 *         "" when none is attached. Valid until the next enumeration (every
 *         list or open call enumerates).
 */
QUORIN_API char* QuorinGetDeviceList(void);
QUORIN_API const char* GetDeviceList(void);

/**
 * Opens the single reader of the first and plain generations.
 * @param[in] lpDeviceName a path from the device list opens that reader;
 *            NULL, "" or another name beginning with "HID://": the last
 *            listed USB reader is chosen; any other text is opened as given
 *            (for example a "SERIAL://PORT=..." path).
 * @retval 0 a reader is open afterwards (also when one was open already)
 * @retval 1 no reader could be opened
 */
QUORIN_API long QuorinOpenDevice(char* lpDeviceName);
QUORIN_API long OpenDevice(const char* lpDeviceName);
/** Closes the first-generation reader: waits for the command in flight,
 *  reports ZEDRA_STATE_DISCONNECTED, and waits for the first-generation
 *  callbacks as "Closing" at the top says. Always returns 0. */
QUORIN_API long QuorinCloseDevice(void);
QUORIN_API void CloseDevice(void);
/** 1 while the first-generation reader is open and connected, else 0. */
QUORIN_API int QuorinIsDeviceConnected(void);
QUORIN_API int IsDeviceConnected(void);
/** Stores the first-generation device state (EDeviceStateValues). */
QUORIN_API void QuorinGetDeviceState(long* lpdwDeviceState);
/** Stores the first-generation card-data state (ECardDataStateValues). */
QUORIN_API void QuorinGetCardDataState(long* lpdwCardDataState);
/** Stores the open reader's USB product ID (0 when none; 0x119 as 0x19). */
QUORIN_API void QuorinGetPID(long* lpdwPID);

/**
 * Opens a reader of the Ex generation.
 * @param[in] lpDeviceName a path from the device list, a "SERIAL://" path,
 *            or NULL/"" for the first listed reader.
 * @return the reader's handle, 0 on failure or when the path is open already.
 */
QUORIN_API unsigned long OpenDeviceEx(const char* lpDeviceName);
/** Closes an Ex reader; see "Closing" at the top for what it waits for.
 *  Unknown and zero handles are ignored. */
QUORIN_API void CloseDeviceEx(unsigned long Handle);
/** 1 from open to close (also after an unplug, which is reported through the
 *  connection callback), 0 for an unknown handle. */
QUORIN_API int IsDeviceConnectedEx(unsigned long Handle);
/** The reader's USB product ID, 0 for an unknown handle or a serial reader. */
QUORIN_API int GetProductIDEx(unsigned long Handle);

/**
 * Copies s (at most 767 characters) into the library's result ring.
 * @return the copy; it survives the next 32 calls that use the ring.
 */
QUORIN_API const char* STATIC_STRING(const char* s);

/* -------------------------------------------------------------- callbacks */

/* Each registration replaces the previous one; NULL unregisters. The
 * first-generation registrations may be made before a reader is opened; Ex
 * registrations need the handle and are ignored for unknown handles. */
QUORIN_API void OnDataReceived(CallBackOnCardDataReceived lpFuncNotify);
QUORIN_API void OnDeviceConnectionStateChanged(CallBackDeviceStateChanged lpFuncNotify);
QUORIN_API void QuorinCardDataStateChangedNotify(CallBackCardDataStateChanged lpFuncNotify);
QUORIN_API void QuorinDeviceStateChangedNotify(CallBackDeviceStateChanged lpFuncNotify);
QUORIN_API void OnDeviceResponse(CallBackOnDeviceResponse sendDataCallbackProc);
/** The error callback runs on the reader's receiving thread; it must return
 *  quickly and must not close the reader. */
QUORIN_API void OnError(CallBackOnDeviceResponse OnErrorProc);
QUORIN_API void OnNotification(CallBackOnNotification OnNotifyProc);
QUORIN_API void OnTransactionStatus(CallBackOnDeviceResponse notif);
QUORIN_API void OnDisplayMessageRequest(CallBackOnDeviceResponse notif);
QUORIN_API void OnUserSelectionRequest(CallBackOnDeviceResponse notif);
QUORIN_API void OnARQCReceived(CallBackOnDeviceResponse notif);
QUORIN_API void OnTransactionResult(CallBackOnDeviceResponse notif);
QUORIN_API void OnDeviceExtendedResponse(
    CallBackOnDeviceExtendedResponse sendExtendedCommandCallbackProc);
QUORIN_API void OnDataReceivedEx(unsigned long Handle, CallBackOnCardDataReceivedEx lpFuncNotify,
                                 void* Obj);
QUORIN_API void OnDeviceConnectionStateChangedEx(unsigned long Handle,
                                                 CallBackDeviceStateChangedEx lpFuncNotify,
                                                 void* Obj);
QUORIN_API void OnNotificationDataEx(unsigned long Handle, CallBackOnNotificationEx lpFuncNotify,
                                     void* Obj);
QUORIN_API void OnDeviceResponseEx(unsigned long Handle,
                                   CallBackOnDeviceResponseEx sendDataCallbackProc, void* Obj);
QUORIN_API void OnErrorEx(unsigned long Handle, CallBackOnDeviceResponseEx OnErrorProc, void* Obj);

/* ---------------------------------------------- reader arrival and removal */

/** How the device list changed (the change argument of CallBackDeviceListChanged). */
typedef enum EDeviceListChangeValues {
    ZEDRA_DEVICE_REMOVED = 0,
    ZEDRA_DEVICE_ARRIVED = 1
} EDeviceListChangeValues;

/** Obj: the object pointer given at registration. lpDeviceName: the reader's
 *  device path exactly as GetDeviceList lists it (valid only during the
 *  call). change: ZEDRA_DEVICE_ARRIVED or ZEDRA_DEVICE_REMOVED. */
typedef void (*CallBackDeviceListChanged)(void* Obj, const char* lpDeviceName, long change);

/**
 * Tells the host when a USB reader is plugged in or pulled out, without
 * polling.
 *
 * Registering a callback starts the library's reader monitor: one thread
 * that sleeps until the system announces a USB device (udev's monitor on the
 * devices the hidapi backend uses; on the virtual USB bus, the bus's own
 * plugs and unplugs), and uses no processor time in between. Registering
 * again replaces the callback and Obj (the monitor goes on, and changes not
 * yet delivered go to the new callback); registering NULL stops the monitor
 * and joins its thread, and changes not yet delivered are dropped. When a
 * registration returns, the callback it replaced or cleared is not running
 * and is not called again, unless the call was made from inside it.
 *
 * What is reported: exactly the readers GetDeviceList lists (the same
 * vendor's product list, the same paths), each once even when hidapi lists
 * its device several times. A reader is reported as arrived once the device
 * list shows it: the system announces a device after its rules set the
 * node's permissions, and a device whose description is still incomplete
 * is looked at again for up to ten seconds and reported when it is listed,
 * not before. A removal is reported for a reader reported or listed before.
 * Readers on serial ports are not reported.
 *
 * Already attached readers are not reported, and nothing is queued while
 * no callback is registered. Read GetDeviceList right after registering: a
 * reader that arrives after the registration started is in that list or
 * reported (or both), and any later removal is reported, so nothing is
 * missed.
 *
 * Thread and order: the callback runs on a callback thread of the library
 * (never on the monitor's thread or a caller's thread), for the changes in
 * the order they happened, each after the previous one returned, never two
 * at a time. Unlike a reader's callbacks, a callback that runs long is not
 * handed on: later changes wait until it returns. The monitor keeps them;
 * should more changes come meanwhile than it can keep (thousands), it sums
 * them up from the device list: each reader that left is reported removed,
 * each new one arrived, so the changes reported always add up to the list.
 * The callback may call any function of the library, including OpenDeviceEx
 * on the reader that arrived and OnDeviceListChanged (which then does not
 * wait for the callback it runs in); it must not wait for a thread that is
 * registering.
 *
 * An open reader that is pulled out still reports ZEDRA_STATE_DISCONNECTED
 * through its connection callbacks, as before, besides the removal here.
 * The two are separate sequences (see "Order" at the top), so either may
 * come first. To use it again after it is plugged back in, close its old
 * handle and open the path reported.
 *
 * At unload the monitor is stopped and its thread joined; a callback still
 * running is waited for as "Unloading" at the top says.
 *
 * @retval 0 registered, replaced or cleared
 * @retval 1 the monitor could not start (no udev in this environment):
 *           nothing is registered
 */
QUORIN_API long OnDeviceListChanged(CallBackDeviceListChanged lpFuncNotify, void* Obj);

/* --------------------------------------------------------------- commands */
/* Command texts are hex, either case: "without length" is the command byte
 * then the data bytes (for extended-protocol readers also "CCCC:DATA");
 * "with length" has a length byte as characters three and four, which is
 * dropped before sending. Texts longer than 8189 characters are refused. */

/** Sets how long a serial reader's response is awaited (10000 ms at load). */
QUORIN_API void SetCommandTimeout(int TimeoutMs);
/**
 * Sends a command to the first-generation reader and waits for the answer.
 * @param[in]  lpCmd         command text without length
 * @param[in]  lpdwCmdLen    its character count (at least 2)
 * @param[out] lpResult      response data as upper-case hex, NUL-terminated
 * @param[in]  lpdwResultLen capacity of lpResult; an answer that does not fit
 *                           is refused with 6 and nothing is written past it
 * @return 0, 5, 6, 15, 17, 255 or the reader's result byte (see the table)
 */
QUORIN_API long QuorinSendCommand(char* lpCmd, long lpdwCmdLen, char* lpResult, long lpdwResultLen);
/** As QuorinSendCommand for a with-length text; 3 when shorter than four
 *  characters. A text holding ':' is sent as an extended command unchanged. */
QUORIN_API long QuorinSendCommandWithLength(char* lpCmd, long lpdwCmdLen, char* lpResult,
                                            long lpdwResultLen);
/** Plain generation: the response hex in a library buffer (also the storage
 *  of the STATIC_STRING ring, which each call wipes); "" on failure. The
 *  result code is read with GetResultCode. */
QUORIN_API const char* SendCommand(const char* lpCmd);
QUORIN_API const char* SendCommandWithLength(const char* lpCmd);
/** Ex generation: the response hex ("" on failure or for an unknown handle);
 *  valid for the next 32 calls that return texts. Responses of any length
 *  are returned whole. */
QUORIN_API const char* SendCommandEx(unsigned long Handle, const char* lpCmd);
/** As SendCommandEx for a with-length text; only the declared number of data
 *  bytes is sent; "" when the text is shorter than declared. */
QUORIN_API const char* SendCommandWithLengthEx(unsigned long Handle, const char* lpCmd);
/**
 * Sends a with-length command on a worker thread and returns at once. The
 * answer reaches the OnDeviceResponse callback as lower-case hex from the
 * result code on ("00021234": result 0, two data bytes 12 34). An answer in
 * extended-protocol packets arrives whole, as "0a", four hex digits of the
 * result code, four of the data byte count, then the data ("0a000000029f27":
 * result 0, data 9F 27). No callback follows when the exchange fails, nor for
 * commands still waiting when the reader is closed.
 * @retval 0 the worker was started, or no reader is open
 * @retval 255 the worker could not be started
 */
QUORIN_API long SendData(const char* lpHexCommandString);
/** Ex form of SendData: workers on one reader run one after another; the
 *  answer reaches the reader's OnDeviceResponseEx callback. */
QUORIN_API long SendDataEx(unsigned long Handle, const char* lpHexCommandString);
/** Discards the current card data and reports ZEDRA_DATA_NOTREADY. */
QUORIN_API void QuorinClearBuffer(void);
QUORIN_API void ClearCardData(void);
QUORIN_API void ClearCardDataEx(unsigned long Handle);

/* -------------------------------------------------------------- card data */
/* Card data is "ready" for the first and plain generations while a reader is
 * open and its last swipe decoded (ZEDRA_DATA_READY); the Ex getters read
 * the record whatever its state. */

/**
 * First generation: copies one field of the last swipe.
 * @param[out] Buffer       receives the text and its terminator; it must hold
 *                          256 bytes (768 for QuorinGetMaskedTracks), and
 *                          nothing is written past them
 * @param[out] BufferLength receives the text's length in characters
 * @retval 0 copied
 * @retval 1 card data not ready; Buffer untouched
 */
QUORIN_API long QuorinGetMaskedTracks(char* Buffer, int* BufferLength);
QUORIN_API long QuorinGetTrack1Masked(char* Buffer, int* BufferLength);
QUORIN_API long QuorinGetTrack2Masked(char* Buffer, int* BufferLength);
QUORIN_API long QuorinGetTrack3Masked(char* Buffer, int* BufferLength);
QUORIN_API long QuorinGetTrack1(char* Buffer, int* BufferLength);
QUORIN_API long QuorinGetTrack2(char* Buffer, int* BufferLength);
QUORIN_API long QuorinGetTrack3(char* Buffer, int* BufferLength);
QUORIN_API long QuorinGetFluxmark(char* Buffer, int* BufferLength);
QUORIN_API long QuorinGetFluxmarkStatus(char* Buffer, int* BufferLength);
/** The serial number carried in the last card report. */
QUORIN_API long QuorinGetDeviceSerial(char* Buffer, int* BufferLength);
QUORIN_API long QuorinGetSessionID(char* Buffer, int* BufferLength);
QUORIN_API long QuorinGetKSN(char* Buffer, int* BufferLength);
/** Copies the whole record. 0, or 1 when card data is not ready. */
QUORIN_API long QuorinGetCardData(ZDMSRDATA* lpZDMSRDATA);
/**
 * The card data string: 32 fields joined by lpStrFieldDelimiter, ending with
 * one more delimiter; field 8 is the Fluxmark status in decimal. lpStrData
 * must hold 16384 bytes.
 * @retval 0 copied
 * @retval 1 card data not ready; lpStrData untouched
 * @retval 6 the text with this delimiter would not fit 16384 bytes (with its
 *           terminator); lpStrData untouched
 */
QUORIN_API long QuorinGetCardDataStr(char* lpStrData, char* lpStrFieldDelimiter);

/* Plain generation: texts in the result ring ("" when card data is not
 * ready). Names, expiry date and service code are parsed from the masked
 * tracks at each call. */
QUORIN_API const char* GetMaskedTracks(void);
QUORIN_API const char* GetTrack1Masked(void);
QUORIN_API const char* GetTrack2Masked(void);
QUORIN_API const char* GetTrack3Masked(void);
QUORIN_API const char* GetTrack1(void);
QUORIN_API const char* GetTrack2(void);
QUORIN_API const char* GetTrack3(void);
QUORIN_API const char* GetFluxmark(void);
QUORIN_API const char* GetFluxmarkStatus(void);
QUORIN_API const char* GetSessionID(void);
QUORIN_API const char* GetKSN(void);
QUORIN_API const char* GetPAN(void);
/** First six characters of the PAN ("" when shorter). */
QUORIN_API const char* GetCardIIN(void);
/** Last four characters of the PAN ("" when shorter). */
QUORIN_API const char* GetCardLast4(void);
/** The three decode statuses as six lower-case hex digits. */
QUORIN_API const char* GetTrackDecodeStatus(void);
QUORIN_API const char* GetTrack1DecodeStatus(void);
QUORIN_API const char* GetTrack2DecodeStatus(void);
QUORIN_API const char* GetTrack3DecodeStatus(void);
/** The encode type as a decimal number (0 ISO, 1 AAMVA, ...). */
QUORIN_API const char* GetEncodeType(void);
/** The encryption status as four lower-case hex digits. */
QUORIN_API const char* GetEncryptionStatus(void);
QUORIN_API const char* GetCardName(void);
QUORIN_API const char* GetFirstName(void);
QUORIN_API const char* GetLastName(void);
QUORIN_API const char* GetMiddleName(void);
QUORIN_API const char* GetCardExpDate(void);
QUORIN_API const char* GetExpDate(void);
QUORIN_API const char* GetExpDateYear(void);
QUORIN_API const char* GetExpDateMonth(void);
QUORIN_API const char* GetCardServiceCode(void);
/** The first-generation card data string with "|", in a library buffer that
 *  the clear-card-data functions empty; "" when not ready. */
QUORIN_API const char* GetCardData(void);
QUORIN_API int GetCardPANLength(void);
QUORIN_API long GetPANLength(void);
QUORIN_API long GetFluxmarkLength(void);
/** Result code of the last command of the current reader; 5 when none is open. */
QUORIN_API int GetResultCode(void);
/** Always -1: readers do not count swipes. */
QUORIN_API int GetSwipeCount(void);

/** The reader's card data string with "|" (31 delimiters); "" for an unknown
 *  handle. Valid until the reader's next text result. */
QUORIN_API const char* GetCardDataEx(unsigned long Handle);
/** Copies the reader's record. 0, or 6 for an unknown handle or a NULL msr. */
QUORIN_API long GetCardDataStructureEx(unsigned long Handle, ZDMSRDATA* msr);
/** The result of the calling thread's last command on Handle (also when it
 *  was refused: 6 for an unusable argument, 5 for an unknown handle);
 *  without one, the reader's last result; 0 for an unknown handle. */
QUORIN_API int GetResultCodeEx(unsigned long Handle);
/** How many callbacks of the reader were dropped because its queue was full
 *  (see "Bounds" at the top); Handle 0 counts the first generation's. */
QUORIN_API unsigned long GetDroppedCallbackCountEx(unsigned long Handle);
/** With a handle: every report the reader's connection holds, lower-case hex,
 *  one per line. With 0: the current reader's last card-data report. */
QUORIN_API const char* GetRawData(unsigned long Handle);

/* ----------------------------------------------------- device information */
/* Queries about the first-generation reader. Each sends one fixed command
 * through SendCommand, so returned texts are valid until the next command. */

/** Battery level; 100 when the reader does not say. */
QUORIN_API long GetBatteryLevel(void);
/** The reader's serial number, asked once and kept until the reader is closed. */
QUORIN_API const char* GetDeviceSerial(void);
/** "1" or "0". */
QUORIN_API const char* GetCapStrivo20Encryption(void);
/** "1" or "0". */
QUORIN_API const char* GetCapMagStripeEncryption(void);
QUORIN_API const char* GetCapTracks(void);
QUORIN_API const char* GetFirmware(void);
/** The first 16 characters of the part-number answer; "" when shorter. */
QUORIN_API const char* GetDevicePartNumber(void);
/** The model description of the reader's device-table row; "" when none is open. */
QUORIN_API const char* GetDeviceName(void);
/** The product ID as four lower-case hex digits; "0000" when none is open. */
QUORIN_API const char* GetProductID(void);
/** true when a connected reader is an EMV model. */
QUORIN_API bool IsDeviceEMV(void);
/** Ends a Bluetooth LE link; 0 (after a one-second pause), 5, 15 or the reader's code. */
QUORIN_API int TerminateBLEConnection(void);
/** A mode flag kept for hosts; the library itself does not read it. */
QUORIN_API int GetVelarcMode(void);
QUORIN_API void SetVelarcMode(int mode);
QUORIN_API extern int _VelarcMode;

/* -------------------------------------------------------------------- EMV */
/* EMV transactions on the first-generation reader (an extended-protocol
 * reader). Text results are the reader's answer data as upper-case hex, valid
 * until the next command; arguments that cannot form a command (NULL texts,
 * amounts over 12 digits, a currency code that is not four hex digits, more
 * than 2041 characters of tags) are refused with "" and nothing is sent. */

/**
 * Starts a transaction. amount and cashBack: up to 12 digits; currencyCode:
 * four hex digits ("0840"). Always returns ""; the reader's answer reaches
 * the OnDeviceExtendedResponse callback and its progress arrives as
 * notifications (OnTransactionStatus, ... and GetTransactionProgress).
 */
QUORIN_API const char* StartTransaction(unsigned char timeLimit, unsigned char cardType,
                                        unsigned char option, const char* amount,
                                        unsigned char transactionType, const char* cashBack,
                                        const char* currencyCode, unsigned char mode);
/** The oldest queued notification, "code,<id>;data,<hex>", or "" at once
 *  when none is queued (timeOut is not used). */
QUORIN_API const char* GetTransactionProgress(int timeOut);
QUORIN_API const char* CancelTransaction(void);
QUORIN_API const char* SetUserSelectionResult(unsigned char status, unsigned char selection);
QUORIN_API const char* SetAcquirerResponse(const char* response);
QUORIN_API const char* SetTerminalConfiguration(unsigned char macType, unsigned char slotNumber,
                                                unsigned char operation,
                                                unsigned char databaseSelector,
                                                const char* deviceSerialNumber,
                                                const char* objectsToWrite, const char* CMUT);
QUORIN_API const char* GetTerminalConfiguration(unsigned char slotNumber, unsigned char operation,
                                                unsigned char databaseSelector,
                                                const char* tagsToRead);
QUORIN_API const char* SetApplicationConfiguration(unsigned char macType, unsigned char slotNumber,
                                                   unsigned char operation,
                                                   unsigned char databaseSelector,
                                                   const char* deviceSerialNumber,
                                                   const char* objectsToWrite, const char* CMUT);
QUORIN_API const char* GetApplicationConfiguration(unsigned char slotNumber,
                                                   unsigned char operation,
                                                   unsigned char databaseSelector,
                                                   const char* tagsToRead);
QUORIN_API const char* SetAcquirerCAPublicKey(unsigned char macType, unsigned char slotNumber,
                                              unsigned char operation,
                                              unsigned char databaseSelector,
                                              const char* deviceSerialNumber,
                                              const char* objectsToWrite, const char* CMUT);
QUORIN_API const char* GetAcquirerCAPublicKey(unsigned char slotNumber, unsigned char operation,
                                              unsigned char databaseSelector,
                                              const char* tagsToRead);
QUORIN_API const char* GetKernelInformation(unsigned char Mode);
QUORIN_API const char* SetDateTime(unsigned char macType, const char* deviceSerialNumber,
                                   unsigned char byteMonth, unsigned char byteDay,
                                   unsigned char byteHour, unsigned char byteMinute,
                                   unsigned char byteSecond, unsigned char byteWeekDay,
                                   unsigned char byteYear, const char* CMUT);
QUORIN_API const char* GetDateTime(void);
QUORIN_API const char* CommitConfiguration(unsigned char database);
QUORIN_API void SetLEDState(unsigned char state);
/**
 * Sends "CCCCLLLL" + data (command id, data length in bytes, data, all hex).
 * The answer reaches the OnDeviceExtendedResponse callback as "%04x%04x" of
 * (result code, byte count) followed by the data.
 * @retval 0 sent and answered
 * @retval 6 shorter than 8 characters, or the length disagrees with the data
 * @return otherwise the command path's code (5, 15, 17, ...); no callback then
 */
QUORIN_API int SendExtendedCommand(const char* lpCmd);
/** The current card record as one BER-TLV hex text (in the GetCardData
 *  buffer); "" when no reader is open. */
QUORIN_API const char* GetTLVPayload(void);

/* ---------------------------------------------------------------- version */

/** The library's version, "MAJOR.MINOR.PATCH" (for example "1.0.0"). The
 *  text is constant and valid for the life of the process; any thread may
 *  call this at any time. */
QUORIN_API const char* GetLibraryVersion(void);

#ifdef __cplusplus
}
#endif

#endif /* QUORIN_H */
