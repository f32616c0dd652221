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
 * callbacks wait their turn. A sequence whose callbacks keep stalling is
 * handed on only while at most 8 of its callbacks run: it holds at most 9
 * threads, and the callbacks behind wait until one of its stalled callbacks
 * returns. Stalled callbacks are handed on only while fewer than 48 callback
 * threads are busy: the other 16 are kept for sequences with nothing
 * running, so a stalled reader holds back no other reader's callbacks nor
 * the arrival callbacks as long as fewer than 16 of those run at once. At
 * most 4096 callbacks wait per reader; an event beyond that is dropped, and
 * the drop is reported: the error callback receives
 * "Callback queue full: event dropped!" and GetDroppedCallbackCountEx counts
 * it. Nothing is dropped silently.
 *
 * Lost data. What a reader sends reaches the host whole or not at all, never
 * cut or with a hole: a notification is delivered only once every byte of
 * it arrived (up to 65,535 bytes, the most one can announce, in both
 * generations), and a packet at offset 0 always starts the next one, so a
 * lost packet costs its own notification only. Whatever is dropped this way
 * (a notification with a packet missing, out of place or cut short, a card
 * report cut short of a field it announces or that cannot be handled, a
 * serial frame whose length disagrees with its data) is told to the error
 * callback (OnError, OnErrorEx, with the reason) and counted by
 * GetLostDataCountEx; a card report also ends in the card-data state
 * ZEDRA_DATA_ERROR, with no card-data callback. A notification whose last
 * packets never come is reported when the reader's next notification
 * starts. A command's answer that is cut short or disagrees with its own
 * lengths ends the command with 17, never with success, and an asynchronous
 * command then calls no callback.
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
 * makes the handle unknown to every later call; ends at once an exchange
 * that waits for a serial reader's answer (it returns 5, whatever the
 * command time-out); drops the asynchronous commands not yet sent and waits
 * for the exchange in flight; stops the reader's events; then waits until
 * every callback of an event that arrived before it has run and returned.
 * The wait has no time limit: a callback must not wait for the thread that
 * closes its reader. A close called from inside one of that reader's own
 * callbacks does not wait for that callback (it returns before it), but
 * waits for all the others. Closing reader B from a callback of reader A
 * waits for B's callbacks as any close does.
 * While QUORIN_RECORD records (docs/RECORDING.md), the close of the last
 * open reader also waits, at most 2 s, until the recording's file has taken
 * everything recorded and is closed.
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
 * Card data. These texts and records hold card data (clear tracks and
 * account numbers when the reader does not encrypt, and in the "masked"
 * fields when it does not mask): the card data string (the card-data
 * callbacks, GetCardDataEx, GetCardData, QuorinGetCardDataStr), the record
 * (GetCardDataStructureEx, QuorinGetCardData), the track, masked track,
 * account number, name, expiry date and service code getters of every
 * generation, GetRawData, GetTLVPayload, and the data of notifications and
 * of the transaction and extended-response callbacks (EMV messages carry
 * the account number and tracks). The library keeps its copies in memory
 * left out of core dumps and, where the limit on locked memory allows,
 * locked against swapping, and wipes each when it lets it go. How long a
 * card lives in the library:
 *   - a text passed to a callback is wiped as soon as the callback returns;
 *   - a reader's record and the raw reports it keeps live until the next
 *     card replaces them, ClearCardDataEx or ClearCardData, or the close;
 *   - the texts GetCardDataEx and GetRawData(Handle) returned are wiped by
 *     ClearCardDataEx (a pointer kept from before then reads "") and by the
 *     close;
 *   - the texts of the first and plain generations (the result ring,
 *     GetCardData, GetRawData(0), GetTLVPayload) are wiped by ClearCardData
 *     and QuorinClearBuffer and by CloseDevice;
 *   - the first generation's queued notifications (GetTransactionProgress)
 *     are wiped by ClearCardData, QuorinClearBuffer and StartTransaction;
 *     they survive CloseDevice.
 * After a clear the library holds no copy of the card; after a close, none
 * but the first generation's queued notifications.
 * What the host copies (a record it asked for, a text it kept, its own
 * buffers given to the first generation's getters) is the host's to wipe
 * when it is done, with a wipe its compiler cannot drop (explicit_bzero):
 * the library cannot reach it.
 *
 * Unloading and exit. The library closes readers left open when it is
 * unloaded or the process exits, and waits up to two seconds for callbacks
 * still running. A call that another thread makes during or after that
 * answers as when no reader is open (no handle, result 5, texts "", counts
 * and states 0) and touches nothing being torn down.
 *
 * Fork. A child made by fork() owns none of the library's readers, handles,
 * registrations or threads: they stay the parent's. In the child every
 * function answers as when no reader is open (OpenDeviceEx 0, GetDeviceList
 * "", OnDeviceListChanged 1, results 5), and the child's exit, however it
 * ends, leaves the parent's readers and threads alone. The library's
 * descriptors are closed on exec. A child that needs readers calls exec
 * (the new program loads the library afresh); until then it may only exit.
 *
 * Returned texts live in library buffers and rings and stay valid only until
 * later calls reuse them; copy what you keep. Text functions never return
 * NULL.
 *
 * Result codes along the command path. The first-generation command
 * functions, SendData, SendDataEx, SendExtendedCommand and
 * TerminateBLEConnection return them; GetResultCode and GetResultCodeEx read
 * them back after a command:
 *   0   success
 *   1   time-out: a serial reader did not answer within the command time-out
 *       (SetCommandTimeout), a Bluetooth LE reader did not announce its
 *       answer within 5 s, or an extended-protocol reader stayed busy (more
 *       than 50 busy answers, 100 ms apart, in one answer; 30 on Bluetooth LE)
 *   3   with-length command text missing or shorter than four characters
 *       (QuorinSendCommandWithLength)
 *   5   no reader open, unknown handle, or the connection was closed or lost
 *   6   command text or argument missing, too short, too long or unusable,
 *       or an answer longer than the caller's buffer holds
 *   15  another first-generation command is in flight
 *   17  device transfer failed, reader answered with an error status, or
 *       packets disagree
 *   255 an internal exception was caught, a serial write failed, or an
 *       asynchronous command could not be queued
 *   any other value is the reader's own result byte (which may equal one of
 *   the values above). A command of the extended protocol ("CCCC:DATA")
 *   returns 0 once its answer was read whole; GetResultCode and
 *   GetResultCodeEx then give the 16-bit result code the reader put in the
 *   answer's packets.
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

/** Status values of the reader layer. No function of this header returns
 *  them; the names are kept for hosts that use them. */
typedef enum EErrorValues {
    ZEDRA_ST_OK = 0,
    ZEDRA_ST_FAILED = 1,
    ZEDRA_ST_OPEN = 2,
    ZEDRA_ST_INVALID_PARAM = 3
} EErrorValues;

/** Device (connection) states, as passed to the connection callbacks and
 *  stored by QuorinGetDeviceState. ZEDRA_STATE_ERROR is never reported. */
typedef enum EDeviceStateValues {
    ZEDRA_STATE_DISCONNECTED = 0,
    ZEDRA_STATE_CONNECTED = 1,
    ZEDRA_STATE_ERROR = 2
} EDeviceStateValues;

/** Values of ZDMSRDATA.m_dwCardSwipeStatus. */
typedef enum ECardReadValues { ZEDRA_CARDREAD_OK = 0, ZEDRA_CARDREAD_ERROR = 1 } ECardReadValues;

/** Card-data states, as passed to the card-data-state callback and stored by
 *  QuorinGetCardDataState: READY after a swipe was decoded, ERROR after a
 *  card report could not be decoded (the record is then emptied), NOTREADY
 *  at load and after the card data was cleared. */
typedef enum ECardDataStateValues {
    ZEDRA_DATA_NOTREADY = 0,
    ZEDRA_DATA_READY = 1,
    ZEDRA_DATA_ERROR = 2
} ECardDataStateValues;

/**
 * The card record of a reader's last swipe, as the reader reported it. The
 * library masks, encrypts and decrypts nothing: which texts are masked or
 * encrypted is the reader's doing, and what a field holds depends on the
 * capabilities of the reader's model. "Encrypting readers" below are the
 * models whose device-table row gives every capability (they encrypt and
 * mask their tracks and report Fluxmark, session id, key serial number and
 * their serial number): every listed model but the "Standard" and keyboard
 * readers, product IDs 0x1, 0x2, 0x3 and 0x17, which have none. A reader
 * opened without a row (a SERIAL:// path, or a name that is not listed) has
 * none either. Card data is secret: never log or show a clear track or
 * account number.
 *
 * Every text is NUL-terminated within its array; a value that does not fit
 * is cut (hex at a whole byte). Texts that come from the reader (tracks,
 * names, the serial number) may hold any byte: escape them before a terminal
 * sees them. Before the first swipe, and after the record was cleared or a
 * report could not be decoded, every field is zero or "". Layout: the
 * character arrays, then the integers, in this order; it is part of the ABI.
 *
 * The card data string. The card-data callbacks, GetCardDataEx and (in a
 * variant) QuorinGetCardDataStr and GetCardData give the whole record as one
 * text: these 32 fields, in this order, joined by a delimiter ("|" except in
 * QuorinGetCardDataStr), numbers in decimal, texts unquoted and unescaped (a
 * text holding the delimiter makes the string ambiguous):
 *   1 m_dwReaderID as 16 upper-case hex digits, 2 m_szDeviceSerialNumber,
 *   3 m_dwCardSwipeStatus, 4 m_dwCardEncodeType, 5-7 m_dwTrack1DcdStatus to
 *   m_dwTrack3DcdStatus, 8 m_szFluxmarkStatus, 9-11 m_dwTrack1Length to
 *   m_dwTrack3Length, 12-14 m_dwTrack1LengthMasked to m_dwTrack3LengthMasked,
 *   15 m_dwFluxmarkLength, 16 m_szCardData, 17 m_szCardDataMasked,
 *   18 m_szDUKPTSessionID, 19 m_szDUKPTKSN, 20 m_szFirstName,
 *   21 m_szLastName, 22 m_szPAN, 23 m_szMonth, 24 m_szYear, 25-27
 *   m_szTrack1Data to m_szTrack3Data, 28-30 m_szTrack1DataMasked to
 *   m_szTrack3DataMasked, 31 m_szFluxmarkData, 32 m_dwBatteryLevel.
 * There is no delimiter before field 1 or after field 32 (31 in all). The
 * empty record gives "0000000000000000||0|0|0|0|0||0|0|0|0|0|0|0|||||||||||||||||0".
 * The first-generation variant (QuorinGetCardDataStr, GetCardData) writes
 * field 8 as m_dwFluxmarkStatus in decimal and ends with one more delimiter
 * after field 32 (32 in all).
 */
typedef struct _ZDMSRDATA {
    /** The three texts m_szTrack1Data, m_szTrack2Data and m_szTrack3Data
     *  joined with nothing between them. */
    char m_szCardData[768];
    /** The three masked track texts joined with nothing between them. */
    char m_szCardDataMasked[768];
    /** Track 1. Encrypting readers: upper-case hex of the encrypted bytes the
     *  reader sent (two characters per byte; never decrypted here). Other
     *  readers: the track's text as read, which is clear card data. */
    char m_szTrack1Data[256];
    /** Track 2, as track 1. */
    char m_szTrack2Data[256];
    /** Track 3, as track 1. */
    char m_szTrack3Data[256];
    /** Track 1 as the reader masked it (account number partly replaced, with
     *  its sentinels: "%B4111********1111^DOE/JOHN^2512...?"). A reader
     *  without that capability leaves it "" in a long card report. In a
     *  short card report (at most 338 bytes) it is a copy of the track's
     *  bytes as received, up to the first zero byte: the clear text on a
     *  reader that does not encrypt. */
    char m_szTrack1DataMasked[256];
    /** Track 2 as the reader masked it (";4111********1111=2512...?"); as
     *  track 1. */
    char m_szTrack2DataMasked[256];
    /** Track 3 as the reader masked it; as track 1. */
    char m_szTrack3DataMasked[256];
    /** The stripe-authentication (Fluxmark) data as upper-case hex, at most
     *  127 of its bytes; "" for a reader without it. */
    char m_szFluxmarkData[256];
    /** The card's encoding by name: "ISO", "AAMVA", "CADL", "BLANK",
     *  "OTHER", "UNDETERMINED" or "NONE" for m_dwCardEncodeType 0 to 6, ""
     *  for any other value. */
    char m_szCardEncodeType[256];
    /** The Fluxmark status: 8 upper-case hex digits, its four bytes in the
     *  order the reader sent them (least significant first); "" for a reader
     *  without Fluxmark. */
    char m_szFluxmarkStatus[256];
    /** The DUKPT session id: 16 upper-case hex digits (all '0' when the
     *  report carries none). */
    char m_szDUKPTSessionID[256];
    /** The reader's serial number as carried in this card report: up to 16
     *  characters of text as sent, not hex; "" when the report carries none.
     *  GetDeviceSerial asks the reader instead. */
    char m_szDeviceSerialNumber[256];
    /** The DUKPT key serial number: 20 upper-case hex digits (all '0' when
     *  the report carries none). */
    char m_szDUKPTKSN[256];
    /** The cardholder's first name, from track 1 (ISO "SURNAME/FIRST ..."
     *  gives "FIRST ...", middle initial and title included; AAMVA
     *  "SURNAME$FIRST$MIDDLE" gives "FIRST"). Encrypting readers take it
     *  from the masked track 1, others from m_szTrack1Data. */
    char m_szFirstName[256];
    /** The cardholder's last name, from track 1 as m_szFirstName. */
    char m_szLastName[256];
    /** The account number (PAN): from track 2 (";PAN=YYMM..."), else from the
     *  masked track 1. Encrypting readers: masked as the reader masked it
     *  ("4111********1111"), taken from the masked tracks. Other readers:
     *  taken from the track texts, so it is the clear number. */
    char m_szPAN[256];
    /** The expiry month: characters three and four of the expiry date
     *  ("12" of "2512"). */
    char m_szMonth[256];
    /** The expiry year: the first two characters of the expiry date ("25"). */
    char m_szYear[256];
    /** USB product ID of the reader's device-table row (0x119 stays 0x119);
     *  0 for a reader opened without a row, and in the empty record. */
    long m_dwReaderID;
    /** Number of Fluxmark data bytes the reader reported (0 to 128). */
    long m_dwFluxmarkLength;
    /** The Fluxmark status bytes as one unsigned 32-bit little-endian
     *  number. */
    long m_dwFluxmarkStatus;
    /** Length in bytes of track 1 as kept (cut to its field and to the bytes
     *  received); m_szTrack1Data holds twice as many hex characters on
     *  encrypting readers. */
    long m_dwTrack1Length;
    /** Length of track 2, as track 1. */
    long m_dwTrack2Length;
    /** Length of track 3, as track 1. */
    long m_dwTrack3Length;
    /** Length in characters of the masked track 1 (in a short report: the
     *  track's length). */
    long m_dwTrack1LengthMasked;
    /** Length of the masked track 2, as track 1. */
    long m_dwTrack2LengthMasked;
    /** Length of the masked track 3, as track 1. */
    long m_dwTrack3LengthMasked;
    /** The encode-type byte of the report (0 ISO, 1 AAMVA, ... as
     *  m_szCardEncodeType). */
    long m_dwCardEncodeType;
    /** Decode status byte of track 1 as the reader reported it; bit 0 set
     *  means the track failed to decode. */
    long m_dwTrack1DcdStatus;
    /** Decode status byte of track 2, as track 1. */
    long m_dwTrack2DcdStatus;
    /** Decode status byte of track 3, as track 1. */
    long m_dwTrack3DcdStatus;
    /** ZEDRA_CARDREAD_ERROR (1) when bit 0 of any of the three decode
     *  statuses is set, else ZEDRA_CARDREAD_OK (0). */
    long m_dwCardSwipeStatus;
    /** The battery level byte of a card report of 932 bytes or more; 100
     *  for a shorter long report; 0 from a short report (at most 338 bytes). */
    long m_dwBatteryLevel;
    /** The reader's encryption status, 16 bits little-endian from the long
     *  report; 0 from a short report. */
    long m_dwEncryptionStatus;
} ZDMSRDATA;

/*
 * Callback types. A text passed to a callback is valid only during the call;
 * copy what you keep. Threads and order: "THREADS AND LIFETIMES" at the top.
 * Each registration function below says which events call it and with what.
 */
/** Card-data state (ECardDataStateValues); registered with
 *  QuorinCardDataStateChangedNotify. */
typedef void (*CallBackCardDataStateChanged)(long state);
/** Device state (EDeviceStateValues); registered with
 *  OnDeviceConnectionStateChanged and QuorinDeviceStateChangedNotify. */
typedef void (*CallBackDeviceStateChanged)(long state);
/** The card data string (see ZDMSRDATA); registered with OnDataReceived. */
typedef void (*CallBackOnCardDataReceived)(const char* text);
/** A text: the answer of an asynchronous command (OnDeviceResponse), an
 *  error text (OnError), or a transaction notification's data (the five
 *  transaction registrations). */
typedef void (*CallBackOnDeviceResponse)(const char* text);
/** The extended-response text; registered with OnDeviceExtendedResponse. */
typedef void (*CallBackOnDeviceExtendedResponse)(const char* text);
/** A notification's message id and its data as upper-case hex; registered
 *  with OnNotification. */
typedef void (*CallBackOnNotification)(unsigned int messageId, const char* text);
/** Ex form of CallBackCardDataStateChanged. No function registers it: Ex
 *  readers report no card-data state. */
typedef void (*CallBackCardDataStateChangedEx)(unsigned long Handle, void* Obj, long state);
/** Ex form of CallBackDeviceStateChanged (OnDeviceConnectionStateChangedEx). */
typedef void (*CallBackDeviceStateChangedEx)(unsigned long Handle, void* Obj, long state);
/** Ex form of CallBackOnCardDataReceived (OnDataReceivedEx). */
typedef void (*CallBackOnCardDataReceivedEx)(unsigned long Handle, void* Obj, const char* text);
/** Ex form of CallBackOnDeviceResponse (OnDeviceResponseEx, OnErrorEx). */
typedef void (*CallBackOnDeviceResponseEx)(unsigned long Handle, void* Obj, const char* text);
/** Ex form of CallBackOnDeviceExtendedResponse. No function registers it: Ex
 *  readers have no extended-response callback. */
typedef void (*CallBackOnDeviceExtendedResponseEx)(unsigned long Handle, void* Obj,
                                                   const char* text);
/** Ex form of CallBackOnNotification (OnNotificationDataEx). */
typedef void (*CallBackOnNotificationEx)(unsigned long Handle, void* Obj, unsigned int messageId,
                                         const char* text);

/* ---------------------------------------------------------------- session */

/**
 * Lists the attached USB readers of the vendor.
 * @return the device paths joined by "," (no spaces, no trailing ","): each
 *         "HID://" + the reader's USB serial number, or "HID://" + its
 *         system path when it has none, or one that cannot name it (a ","
 *         or a control character in it), or one another attached reader
 *         has too: each listed path names exactly one reader, and a serial
 *         number two readers share opens neither; "" when none is
 *         attached. Serial readers are never listed (their path is the
 *         host's, see OpenDevice). The text lives in a library buffer of
 *         4096 bytes (a path that would not fit is left out whole) and is
 *         rewritten by every enumeration: each list call and each
 *         OpenDevice(Ex) call. Do not write to it.
 */
QUORIN_API char* QuorinGetDeviceList(void);
/** Same as QuorinGetDeviceList. */
QUORIN_API const char* GetDeviceList(void);

/**
 * Opens the single reader of the first and plain generations (the "current"
 * reader that every function without a handle addresses). Enumerates the
 * attached readers first, unless a reader is open already.
 * @param[in] lpDeviceName which reader, compared exactly (letter case too):
 *            - a path of the device list opens that reader;
 *            - NULL, "" or any other text beginning with "HID://": the last
 *              listed reader is opened;
 *            - any other text is opened as given, without a device-table
 *              row: "SERIAL://" followed by options "KEY=VALUE" separated by
 *              ",", for example "SERIAL://PORT=/dev/ttyUSB0,BAUDRATE=115200,
 *              FORMAT=SLIP". Keys (any letter case): PORT (the device file;
 *              required), BAUDRATE (2400, 4800, 9600, 19200, 38400, 57600,
 *              115200, 230400, 460800, 500000, 576000 or 921600; 115200
 *              when absent), PARITY (NONE, ODD, EVEN, MARK, SPACE or N, O,
 *              E, M, S; NONE), DATABITS (5, 6, 7, else 8; 8), STOPBITS (1,
 *              1.5 or 2; 1), FORMAT (the line framing: SLIP, LEGACY,
 *              TIDELINK or NONE; SLIP),
 *              STARTINGBYTE ("0Xhh", one or two hex digits, or NONE),
 *              ENDINGBYTE ("0Xhh"), CRCMODE (a decimal number); the last
 *              three are checked and kept but do not change the line.
 *              Unknown keys are ignored; an unusable value of PARITY,
 *              STOPBITS, STARTINGBYTE, ENDINGBYTE, CRCMODE or FORMAT, a
 *              BAUDRATE that is not one of the listed numbers (with nothing
 *              after it), or a port that cannot be opened makes the open
 *              fail.
 * On success the reader's card record is empty and the device state becomes
 * ZEDRA_STATE_CONNECTED, which the connection callbacks receive
 * (OnDeviceConnectionStateChanged, QuorinDeviceStateChangedNotify) when the
 * state changed. The card-data state is left as it was (see "card data"
 * below).
 * @retval 0 a reader is open afterwards; also when one was open already,
 *           which stays open (the name is then not looked at)
 * @retval 1 no reader could be opened
 */
QUORIN_API long QuorinOpenDevice(char* lpDeviceName);
/** Same as QuorinOpenDevice. */
QUORIN_API long OpenDevice(const char* lpDeviceName);
/** Closes the first-generation reader: waits for the command in flight,
 *  reports ZEDRA_STATE_DISCONNECTED to the connection callbacks (when the
 *  state changed), and waits for the first-generation callbacks as
 *  "Closing" at the top says. Forgets the serial number GetDeviceSerial
 *  kept. Nothing open: only that. Always returns 0. */
QUORIN_API long QuorinCloseDevice(void);
/** Same as QuorinCloseDevice. */
QUORIN_API void CloseDevice(void);
/** 1 while the first-generation reader is open and the device state is
 *  ZEDRA_STATE_CONNECTED, else 0 (0 after an unplug, until the reader is
 *  closed and opened again: the open reader is kept, and OpenDevice answers
 *  0 without reopening it). */
QUORIN_API int QuorinIsDeviceConnected(void);
/** Same as QuorinIsDeviceConnected. */
QUORIN_API int IsDeviceConnected(void);
/** Stores the first generation's device state (EDeviceStateValues) in
 *  *lpdwDeviceState; NULL is ignored. OpenDeviceEx also sets this state to
 *  ZEDRA_STATE_CONNECTED, and CloseDeviceEx does not reset it, so it may
 *  read connected while no first-generation reader is open. */
QUORIN_API void QuorinGetDeviceState(long* lpdwDeviceState);
/** Stores the first generation's card-data state (ECardDataStateValues) in
 *  *lpdwCardDataState; NULL is ignored. */
QUORIN_API void QuorinGetCardDataState(long* lpdwCardDataState);
/** Stores the first-generation reader's USB product ID in *lpdwPID (0 when
 *  none is open or the reader has no device-table row; 0x119 is stored as
 *  0x19); NULL is ignored. */
QUORIN_API void QuorinGetPID(long* lpdwPID);

/**
 * Opens a reader of the Ex generation. Enumerates the attached readers
 * first. Any number of readers may be open, each once.
 * @param[in] lpDeviceName a path of the device list opens that reader with
 *            its device-table row; NULL or "" opens the first listed reader
 *            (fails when none is attached); any other text is opened as
 *            given, without a row (a "SERIAL://" path as for OpenDevice).
 *            Compared exactly, letter case too: pass the list's paths
 *            unchanged. Another text that still names an attached USB
 *            reader (another letter case, or a start of its serial number
 *            that no other reader shares) opens it without its row, that
 *            is as an extended-protocol reader without capabilities.
 * On success the reader's card record is empty, and the first generation's
 * device state is set to ZEDRA_STATE_CONNECTED, so the first-generation
 * connection callbacks fire when it changed; the new reader has no callback
 * until the host registers one with the handle.
 * @return the reader's handle (never 0, never reused in the process); 0
 *         when the reader cannot be opened, or when it is open already
 *         through OpenDeviceEx under any name (its serial number, its
 *         system path, other serial options of the same port). The
 *         first-generation reader is not checked: both generations may
 *         hold one reader at once, and their commands then take turns. A
 *         reader plugged back in on a new system node is another device:
 *         it opens even while the handle of its old node is still open.
 */
QUORIN_API unsigned long OpenDeviceEx(const char* lpDeviceName);
/** Closes an Ex reader; see "Closing" at the top for what it waits for. No
 *  connection callback reports the close. Its texts (GetCardDataEx,
 *  GetRawData) are freed. Unknown and zero handles are ignored. */
QUORIN_API void CloseDeviceEx(unsigned long Handle);
/** 1 from open to close, also after an unplug (which the connection
 *  callback reports with ZEDRA_STATE_DISCONNECTED; commands then answer 5),
 *  0 for an unknown handle. */
QUORIN_API int IsDeviceConnectedEx(unsigned long Handle);
/** The product ID of the reader's device-table row (0x119 stays 0x119); 0
 *  for an unknown handle or a reader opened without a row (serial). */
QUORIN_API int GetProductIDEx(unsigned long Handle);

/**
 * Copies s into the first and plain generations' result ring, through which
 * their text functions return texts.
 * @param[in] s the text; NULL counts as "", and a text longer than 767
 *            characters is cut to 767.
 * @return the copy. It survives the next 32 ring copies (the plain text
 *         functions below take one, the name and expiry getters four), and
 *         no longer: the 33rd may overwrite it. The ring shares its storage
 *         with SendCommand, whose every call wipes it.
 */
QUORIN_API const char* STATIC_STRING(const char* s);

/* -------------------------------------------------------------- callbacks */

/* Registrations. Each replaces the previous one of its kind; NULL
 * unregisters. A callback already queued for an event when its registration
 * is replaced or removed still runs, with the function (and object) it was
 * queued with; only later events use the new registration. The first-
 * generation registrations may be made before a reader is opened and stay
 * across close and open; they serve the first-generation reader only (an Ex
 * reader's events never reach them, except the device state set by
 * OpenDeviceEx). Ex registrations need the handle, are ignored for unknown
 * handles, and end with the reader's close. */

/** Card data: called after each swipe the first-generation reader decoded,
 *  with the card data string (delimiter "|", 31 delimiters; see ZDMSRDATA)
 *  built from that swipe's record. Not called for a report that could not
 *  be decoded. */
QUORIN_API void OnDataReceived(CallBackOnCardDataReceived lpFuncNotify);
/** Connection: called when the first generation's device state changes,
 *  with the state (EDeviceStateValues): ZEDRA_STATE_CONNECTED after
 *  OpenDevice or OpenDeviceEx, ZEDRA_STATE_DISCONNECTED after CloseDevice or
 *  when the first-generation reader is unplugged or its serial line hangs
 *  up. A report of the state it already had calls nothing. The state passed
 *  is read when the callback runs, so after quick changes several calls may
 *  pass the newest one. Runs before QuorinDeviceStateChangedNotify's
 *  callback of the same change. */
QUORIN_API void OnDeviceConnectionStateChanged(CallBackDeviceStateChanged lpFuncNotify);
/** Card-data state: called with the first generation's card-data state
 *  (ECardDataStateValues, read when the callback runs) after each card
 *  report of the first-generation reader (ZEDRA_DATA_READY, or
 *  ZEDRA_DATA_ERROR when it could not be decoded), before the card-data
 *  callback of the same swipe; and with ZEDRA_DATA_NOTREADY by
 *  QuorinClearBuffer and ClearCardData. */
QUORIN_API void QuorinCardDataStateChangedNotify(CallBackCardDataStateChanged lpFuncNotify);
/** Connection, a second registration: called on the same changes and with
 *  the same value as OnDeviceConnectionStateChanged's callback, after it. */
QUORIN_API void QuorinDeviceStateChangedNotify(CallBackDeviceStateChanged lpFuncNotify);
/** Answers of asynchronous commands: called once per answer of SendData,
 *  with the text SendData describes. */
QUORIN_API void OnDeviceResponse(CallBackOnDeviceResponse sendDataCallbackProc);
/**
 * Errors of the first-generation reader, as texts: "Header is not match!",
 * "Invalid notification package data length!" and "Invalid notification
 * id!" (a notification's packets were refused and the notification dropped),
 * "Invalid input data!" or "invalid input data!" (a card report could not be
 * handled), "Exception!" (a notification packet could not be handled),
 * "Notification incomplete: dropped!" (a packet of a notification never
 * came, came out of place or cut short, and the notification was dropped),
 * "Frame refused: its length disagrees with its data!" (a serial reader's
 * card data or notification frame was dropped), each counted by
 * GetLostDataCountEx (see "Lost data" at the top), and
 * "Callback queue full: event dropped!" (see "Bounds" at the top). The
 * error callback is called at once, not queued: on the reader's receiving
 * thread, or for a dropped callback on the thread whose event was dropped
 * (the receiving thread, the worker of an asynchronous command, or a host
 * thread whose call reported a state: open, close, clear). It must return
 * quickly and must not close the reader.
 */
QUORIN_API void OnError(CallBackOnDeviceResponse OnErrorProc);
/**
 * Notifications of the first-generation reader (an extended-protocol
 * reader's unsolicited messages, for example EMV transaction progress):
 * called for each notification with its message id and its data as
 * upper-case hex ("" for none; whole, up to the 65,535 bytes a notification
 * can announce). The same notification also reaches, after this callback,
 * the transaction callback of its id (0x300 to 0x304, below) or else the
 * extended-response callback, and is queued for GetTransactionProgress.
 */
QUORIN_API void OnNotification(CallBackOnNotification OnNotifyProc);
/** Notification 0x300 (transaction status): called with its data as
 *  upper-case hex. */
QUORIN_API void OnTransactionStatus(CallBackOnDeviceResponse notif);
/** Notification 0x301 (display message request): its data as upper-case
 *  hex. */
QUORIN_API void OnDisplayMessageRequest(CallBackOnDeviceResponse notif);
/** Notification 0x302 (user selection request): its data as upper-case hex;
 *  answer with SetUserSelectionResult. */
QUORIN_API void OnUserSelectionRequest(CallBackOnDeviceResponse notif);
/** Notification 0x303 (ARQC): its data as upper-case hex; answer with
 *  SetAcquirerResponse. */
QUORIN_API void OnARQCReceived(CallBackOnDeviceResponse notif);
/** Notification 0x304 (transaction result): its data as upper-case hex. */
QUORIN_API void OnTransactionResult(CallBackOnDeviceResponse notif);
/**
 * Extended responses, texts of the form "%04x%04x" + data: four lower-case
 * hex digits, four more, then the data as upper-case hex. Called
 *  - for every notification of the first-generation reader whose id is not
 *    0x300 to 0x304: the message id, the data byte count, the data (id
 *    0x1234 with data AB CD gives "12340002ABCD"; id 0x200 without data
 *    "02000000");
 *  - for the answer of SendExtendedCommand and StartTransaction: the
 *    reader's result code, the data byte count, the data (result 2 with
 *    data 9F 27 gives "000200029F27").
 */
QUORIN_API void OnDeviceExtendedResponse(
    CallBackOnDeviceExtendedResponse sendExtendedCommandCallbackProc);
/** Ex card data: called after each swipe the reader decoded with (Handle,
 *  Obj, the card data string as OnDataReceived's). */
QUORIN_API void OnDataReceivedEx(unsigned long Handle, CallBackOnCardDataReceivedEx lpFuncNotify,
                                 void* Obj);
/** Ex connection: called with (Handle, Obj, ZEDRA_STATE_DISCONNECTED) when
 *  the reader is unplugged or its serial line hangs up. Neither the open
 *  (which comes before any registration) nor CloseDeviceEx calls it. */
QUORIN_API void OnDeviceConnectionStateChangedEx(unsigned long Handle,
                                                 CallBackDeviceStateChangedEx lpFuncNotify,
                                                 void* Obj);
/** Ex notifications: called for each notification of the reader with
 *  (Handle, Obj, message id, data as upper-case hex), as OnNotification's.
 *  An Ex reader's notifications reach no other callback and are not queued
 *  for GetTransactionProgress. */
QUORIN_API void OnNotificationDataEx(unsigned long Handle, CallBackOnNotificationEx lpFuncNotify,
                                     void* Obj);
/** Ex answers of asynchronous commands: called once per answer of SendDataEx
 *  with (Handle, Obj, the text SendData describes). */
QUORIN_API void OnDeviceResponseEx(unsigned long Handle,
                                   CallBackOnDeviceResponseEx sendDataCallbackProc, void* Obj);
/** Ex errors: the reader's error texts as OnError's, with (Handle, Obj, text),
 *  on the same threads and with the same rules (return quickly, do not close
 *  the reader). */
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
 * A reader whose path changes while it stays attached (a second reader with
 * its serial number arrived, so both are listed by their system paths, or
 * that one left again) is reported removed under its old path and arrived
 * under its new one. Readers on serial ports are not reported.
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
/* Command texts are hex, two digits per byte, either case:
 *  - "without length": the command byte, then its data bytes ("0003" is
 *    command 0x00 with the data byte 0x03). The reader frame carries a
 *    length it computes. Extended-protocol readers also take "CCCC:DATA":
 *    a two-byte command id, a colon, then the data bytes ("0306:" has
 *    none), cut into packets by the library.
 *  - "with length": a length byte as characters three and four, which is
 *    dropped before sending ("0102AABB" sends "01AABB"); only
 *    SendCommandWithLengthEx reads its value.
 * Characters that are not hex digits are not refused: each counts as -1 in
 * its byte ("G0" is 0xF0); an odd last digit is ignored. Texts longer than
 * 8189 characters are refused (6), which bounds an extended command's data
 * to 4092 bytes. On a plain (not extended-protocol) USB reader a command
 * must fit its 61-byte report, so at most 58 data bytes, else 6.
 * Answers: the answer's data bytes as upper-case hex (the result code is
 * not part of the text; GetResultCode and GetResultCodeEx give it), also
 * when the reader answered with a non-zero result code. An extended answer
 * of many packets is returned whole (up to 32768 bytes). */

/** Sets how long a serial reader's answer is awaited, in milliseconds, for
 *  every reader of the process (10000 at load). One time-out bounds a whole
 *  command exchange, all its packets included; an exchange that runs out
 *  of it answers 1. 0 or less: a serial command times out at once. USB
 *  readers do not use it. Applies to exchanges that start afterwards. */
QUORIN_API void SetCommandTimeout(int TimeoutMs);
/**
 * Sends a command to the first-generation reader and waits for the answer.
 * @param[in]  lpCmd         command text without length; a text holding ':'
 *                           is an extended command
 * @param[in]  lpdwCmdLen    how many characters of lpCmd to send (at least
 *                           2; the text also ends at its NUL)
 * @param[out] lpResult      receives the answer data as upper-case hex,
 *                           NUL-terminated (and, on success, a second NUL
 *                           when there is room); "" when the answer has no
 *                           data or does not fit; untouched when the command
 *                           failed before an answer was read
 * @param[in]  lpdwResultLen capacity of lpResult in bytes (an answer of L
 *                           data bytes needs 2 * L + 1); nothing is written
 *                           past it
 * @retval 0 answered (for an extended command: answered whole; read the
 *           reader's result code with GetResultCode)
 * @retval 1 time-out (serial, Bluetooth LE) or the reader stayed busy
 * @retval 5 no reader open, or its connection was closed or lost
 * @retval 6 lpCmd NULL, lpdwCmdLen below 2, text over 8189 characters or not
 *           framable, lpResult NULL or lpdwResultLen below 1, or an answer
 *           that needs more than lpdwResultLen bytes
 * @retval 15 another first-generation command is in flight
 * @retval 17 the transfer failed or the answer's packets disagree
 * @retval 255 an internal exception, or a serial write failed
 * @return otherwise the reader's result byte (its data, if any, is in
 *         lpResult). A failure of the exchange, or the reader's byte, is
 *         also what GetResultCode gives afterwards; a call refused before
 *         anything is sent (NULL or short text, NULL lpResult, 15) leaves
 *         GetResultCode unchanged.
 */
QUORIN_API long QuorinSendCommand(char* lpCmd, long lpdwCmdLen, char* lpResult, long lpdwResultLen);
/** As QuorinSendCommand for a with-length text: characters three and four
 *  are dropped and the rest sent. A text holding ':' (within lpdwCmdLen) is
 *  sent unchanged as an extended command. Returns 3 when lpCmd is NULL or
 *  lpdwCmdLen is below 4 (a four-character text sends the bare command
 *  byte), else as QuorinSendCommand. */
QUORIN_API long QuorinSendCommandWithLength(char* lpCmd, long lpdwCmdLen, char* lpResult,
                                            long lpdwResultLen);
/**
 * Plain generation: QuorinSendCommand on the text (NULL counts as "") with
 * the library's shared result buffer. Read the result code with
 * GetResultCode (unchanged when the text was refused before sending, as
 * QuorinSendCommand says).
 * @return the answer data as upper-case hex, also when the result code is
 *         not 0; "" when nothing came back or the call failed. The text is
 *         the library's shared result buffer, which each call empties first;
 *         it is also the storage of the STATIC_STRING ring, so this call
 *         wipes every ring text, and a later ring copy may overwrite the
 *         answer. Valid until the next call of any first or plain function
 *         that returns a text or sends a command; copy it at once. An answer
 *         of more than 13055 data bytes does not fit the buffer ("", 6).
 */
QUORIN_API const char* SendCommand(const char* lpCmd);
/** As SendCommand, through QuorinSendCommandWithLength (a with-length text;
 *  one holding ':' is sent unchanged). */
QUORIN_API const char* SendCommandWithLength(const char* lpCmd);
/**
 * Ex generation: sends a command without length to the reader and waits for
 * the answer. Any thread may call it; commands on one reader run one after
 * the other, and each caller gets its own answer and result code
 * (GetResultCodeEx on the same thread).
 * @param[in] Handle the reader
 * @param[in] lpCmd  command text without length ("CCCC:DATA" for an extended
 *                   command); NULL counts as "" (result 6)
 * @return the answer data as upper-case hex, whole whatever its length, also
 *         when the result code is not 0; "" on failure, for a text refused
 *         (result 6) and for an unknown handle (result 5). The text lives in
 *         storage of the calling thread and stays valid until that thread's
 *         32nd later call of SendCommandEx, SendCommandWithLengthEx or
 *         GetTransactionProgress, which share it.
 */
QUORIN_API const char* SendCommandEx(unsigned long Handle, const char* lpCmd);
/** As SendCommandEx for a with-length text: the length byte (characters
 *  three and four) says how many data bytes follow, and only those are sent
 *  ("0101AABB" sends "01AA"). Refused with "" and result 6 when lpCmd is
 *  NULL, shorter than five characters, longer than 8189, or shorter than its
 *  declared length ("0105AA"); nothing is sent then. The text lives as
 *  SendCommandEx's. */
QUORIN_API const char* SendCommandWithLengthEx(unsigned long Handle, const char* lpCmd);
/**
 * Sends a with-length command to the first-generation reader on a worker
 * and returns at once. The commands of a reader are sent one after the
 * other, in the order given. The worker prefixes a text of odd length
 * without ':' with "0" ("123" is "0123"), skips a text shorter than two
 * characters, and always drops characters three and four, also from an
 * extended text ("030122:02" sends "0322:02").
 * The answer reaches the OnDeviceResponse callback, whatever its result
 * code, as lower-case hex:
 *  - a plain answer from its result code on: result code, data length, then
 *    the data ("00021234": result 0, two data bytes 12 34; "0700": result 7,
 *    no data);
 *  - an answer in extended-protocol packets, whole: "0a", four hex digits of
 *    the result code, four of the data byte count, then the data
 *    ("0a00210002abcd": result 0x21, data AB CD).
 * The answer's result code becomes the reader's (GetResultCode). No callback
 * follows when the exchange fails (the failure is not reported, and
 * GetResultCode keeps its value), nor for commands still waiting when the
 * reader is closed.
 * @param[in] lpHexCommandString the command text with length; NULL counts as
 *            ""
 * @retval 0 the command was queued, or no reader is open (nothing is sent)
 * @retval 6 the text is longer than 8189 characters; nothing is queued
 * @retval 255 the command could not be queued (4096 waiting already, or no
 *              thread could be had)
 */
QUORIN_API long SendData(const char* lpHexCommandString);
/**
 * Ex form of SendData: queues the command on the reader's worker; any
 * thread may call it. The text is sent as given without characters three
 * and four (no odd-length correction). The answer reaches the reader's
 * OnDeviceResponseEx callback as (Handle, Obj, text), the text as SendData
 * describes. The answer's result code, or the code of an exchange that
 * failed after the command was sent, becomes the reader's result, which
 * GetResultCodeEx gives only on threads without a result of their own for
 * this handle. A failed exchange makes no callback.
 * @retval 0 the command was queued, or Handle is unknown (nothing is sent;
 *           GetResultCodeEx on this thread then gives 5)
 * @retval 6 the text is longer than 8189 characters; nothing is queued
 * @retval 255 the command could not be queued
 */
QUORIN_API long SendDataEx(unsigned long Handle, const char* lpHexCommandString);
/** Clears the first generation's card data: wipes the first-generation
 *  reader's record and the raw reports it keeps (when one is open), and
 *  every text of the first and plain generations that may hold card data
 *  (the result ring, GetCardData's buffer, GetRawData(0)'s and
 *  GetTLVPayload's texts: pointers kept from before then read ""), empties
 *  the queue of GetTransactionProgress, sets the
 *  card-data state to ZEDRA_DATA_NOTREADY and calls the card-data-state
 *  callback with it. */
QUORIN_API void QuorinClearBuffer(void);
/** Same as QuorinClearBuffer. */
QUORIN_API void ClearCardData(void);
/** Wipes the Ex reader's card record (GetCardDataStructureEx then gives
 *  zeros), the raw reports it keeps, and the texts GetCardDataEx and
 *  GetRawData(Handle) returned for it (pointers kept from before then read
 *  ""). No callback is called. Unknown handles are ignored. */
QUORIN_API void ClearCardDataEx(unsigned long Handle);

/* -------------------------------------------------------------- card data */
/* The first and plain generations read the first-generation reader's record
 * (ZDMSRDATA) only while card data is "ready": a reader is open and the
 * first generation's card-data state is ZEDRA_DATA_READY. The state becomes
 * ready with each swipe the reader decodes and stops being ready with
 * QuorinClearBuffer or ClearCardData, or a card report that could not be
 * decoded. It is not reset by closing or opening a reader: after a close and
 * a new open, card data stays "ready", with an empty record, until the next
 * swipe or clear. Each call reads a fresh copy of the record. The Ex getters
 * read the record whatever its state. */

/**
 * First generation: copies one field of the last swipe: this function
 * m_szCardDataMasked (the three masked tracks joined), each function below
 * the ZDMSRDATA field it names.
 * @param[out] Buffer       receives the text and its terminator; it must hold
 *                          the field's width: 256 bytes (768 for
 *                          QuorinGetMaskedTracks). NULL: nothing is copied.
 * @param[out] BufferLength receives the text's length in characters; NULL is
 *                          allowed
 * @retval 0 copied
 * @retval 1 card data not ready; Buffer and BufferLength untouched
 */
QUORIN_API long QuorinGetMaskedTracks(char* Buffer, int* BufferLength);
/** m_szTrack1DataMasked; see QuorinGetMaskedTracks. */
QUORIN_API long QuorinGetTrack1Masked(char* Buffer, int* BufferLength);
/** m_szTrack2DataMasked; see QuorinGetMaskedTracks. */
QUORIN_API long QuorinGetTrack2Masked(char* Buffer, int* BufferLength);
/** m_szTrack3DataMasked; see QuorinGetMaskedTracks. */
QUORIN_API long QuorinGetTrack3Masked(char* Buffer, int* BufferLength);
/** m_szTrack1Data (hex of the encrypted track, or the clear track of a
 *  reader that does not encrypt); see QuorinGetMaskedTracks. */
QUORIN_API long QuorinGetTrack1(char* Buffer, int* BufferLength);
/** m_szTrack2Data; see QuorinGetTrack1. */
QUORIN_API long QuorinGetTrack2(char* Buffer, int* BufferLength);
/** m_szTrack3Data; see QuorinGetTrack1. */
QUORIN_API long QuorinGetTrack3(char* Buffer, int* BufferLength);
/** m_szFluxmarkData (hex); see QuorinGetMaskedTracks. */
QUORIN_API long QuorinGetFluxmark(char* Buffer, int* BufferLength);
/** m_szFluxmarkStatus (8 hex digits); see QuorinGetMaskedTracks. */
QUORIN_API long QuorinGetFluxmarkStatus(char* Buffer, int* BufferLength);
/** m_szDeviceSerialNumber: the serial number carried in the last card
 *  report (GetDeviceSerial asks the reader instead); see
 *  QuorinGetMaskedTracks. */
QUORIN_API long QuorinGetDeviceSerial(char* Buffer, int* BufferLength);
/** m_szDUKPTSessionID (16 hex digits); see QuorinGetMaskedTracks. */
QUORIN_API long QuorinGetSessionID(char* Buffer, int* BufferLength);
/** m_szDUKPTKSN (20 hex digits); see QuorinGetMaskedTracks. */
QUORIN_API long QuorinGetKSN(char* Buffer, int* BufferLength);
/** Copies the whole record into *lpZDMSRDATA (nothing for NULL).
 *  @retval 0 copied @retval 1 card data not ready; nothing written */
QUORIN_API long QuorinGetCardData(ZDMSRDATA* lpZDMSRDATA);
/**
 * The first-generation card data string (see ZDMSRDATA: 32 fields, field 8
 * the Fluxmark status in decimal, a delimiter after every field, the last
 * included).
 * @param[out] lpStrData           receives the text and its terminator; must
 *                                 hold 16384 bytes. NULL: nothing is written.
 * @param[in]  lpStrFieldDelimiter the delimiter, used unchanged; NULL counts
 *                                 as "" (no delimiter)
 * @retval 0 copied
 * @retval 1 card data not ready; lpStrData untouched
 * @retval 6 the text with this delimiter would not fit 16384 bytes (with its
 *           terminator); lpStrData untouched
 */
QUORIN_API long QuorinGetCardDataStr(char* lpStrData, char* lpStrFieldDelimiter);

/* Plain generation: texts in the STATIC_STRING ring (each takes one copy;
 * valid for the next 32 ring copies and until the next SendCommand-family
 * call, which wipes the ring), or "" when card data is not ready. */

/** m_szCardDataMasked, the three masked tracks joined. */
QUORIN_API const char* GetMaskedTracks(void);
/** m_szTrack1DataMasked. */
QUORIN_API const char* GetTrack1Masked(void);
/** m_szTrack2DataMasked. */
QUORIN_API const char* GetTrack2Masked(void);
/** m_szTrack3DataMasked. */
QUORIN_API const char* GetTrack3Masked(void);
/** m_szTrack1Data: hex of the encrypted track, or the clear track of a
 *  reader that does not encrypt. */
QUORIN_API const char* GetTrack1(void);
/** m_szTrack2Data; as GetTrack1. */
QUORIN_API const char* GetTrack2(void);
/** m_szTrack3Data; as GetTrack1. */
QUORIN_API const char* GetTrack3(void);
/** m_szFluxmarkData (upper-case hex). */
QUORIN_API const char* GetFluxmark(void);
/** m_szFluxmarkStatus (8 upper-case hex digits). */
QUORIN_API const char* GetFluxmarkStatus(void);
/** m_szDUKPTSessionID (16 upper-case hex digits). */
QUORIN_API const char* GetSessionID(void);
/** m_szDUKPTKSN (20 upper-case hex digits). */
QUORIN_API const char* GetKSN(void);
/** m_szPAN: masked by encrypting readers, clear from others. */
QUORIN_API const char* GetPAN(void);
/** First six characters of m_szPAN ("" when shorter): "4111**" of
 *  "4111********1111". */
QUORIN_API const char* GetCardIIN(void);
/** Last four characters of m_szPAN ("" when shorter). */
QUORIN_API const char* GetCardLast4(void);
/** The three decode statuses as six lower-case hex digits, tracks 1 to 3
 *  ("000aff" for 0, 10, 255). */
QUORIN_API const char* GetTrackDecodeStatus(void);
/** Track 1's decode status in decimal ("10"). */
QUORIN_API const char* GetTrack1DecodeStatus(void);
/** Track 2's decode status in decimal. */
QUORIN_API const char* GetTrack2DecodeStatus(void);
/** Track 3's decode status in decimal. */
QUORIN_API const char* GetTrack3DecodeStatus(void);
/** The encode type as a decimal number ("0" ISO, "1" AAMVA, ... as
 *  m_szCardEncodeType). */
QUORIN_API const char* GetEncodeType(void);
/** The encryption status as four lower-case hex digits ("1a2b"). */
QUORIN_API const char* GetEncryptionStatus(void);

/* Names, expiry date and service code: parsed at each call from the three
 * masked tracks (fetched through the ring, so each call takes four ring
 * copies), by the record's encode type: 0 as an ISO bank card, 1 as an
 * AAMVA licence, any other value ISO first, then AAMVA. These can differ
 * from the record's own m_szFirstName and m_szLastName, which keep the
 * middle initial and title with the first name. A value the tracks do not
 * give is "". */

/** The whole name field ("DOE/JOHN Q.MR" on an ISO card, "DOE$ALEX$JR" on an
 *  AAMVA card). */
QUORIN_API const char* GetCardName(void);
/** The first name ("JOHN"). */
QUORIN_API const char* GetFirstName(void);
/** The surname ("DOE"). */
QUORIN_API const char* GetLastName(void);
/** The middle initial and the suffix, joined by one blank when both are
 *  present ("Q JR"). */
QUORIN_API const char* GetMiddleName(void);
/** The expiry date as the card holds it, YYMM ("2512"). */
QUORIN_API const char* GetCardExpDate(void);
/** Same as GetCardExpDate. */
QUORIN_API const char* GetExpDate(void);
/** The first two characters of the expiry date ("25"). */
QUORIN_API const char* GetExpDateYear(void);
/** The expiry date from its third character on, at most four characters
 *  ("12"); "" when it has two characters or fewer. */
QUORIN_API const char* GetExpDateMonth(void);
/** The service code, three digits ("101"). */
QUORIN_API const char* GetCardServiceCode(void);
/** The first-generation card data string with "|" (as QuorinGetCardDataStr),
 *  in a library buffer that QuorinGetCardDataStr does not touch but
 *  GetTLVPayload overwrites and the clear-card-data functions empty; "" when
 *  card data is not ready. Valid until the next of these calls. */
QUORIN_API const char* GetCardData(void);
/** Number of characters of m_szPAN; 0 when card data is not ready. */
QUORIN_API int GetCardPANLength(void);
/** Same as GetCardPANLength. */
QUORIN_API long GetPANLength(void);
/** m_dwFluxmarkLength; 0 when card data is not ready. */
QUORIN_API long GetFluxmarkLength(void);
/** The result of the last command on the first-generation reader (see the
 *  table at the top and QuorinSendCommand for which calls change it); 5
 *  when none is open. For an extended command, the reader's 16-bit result
 *  code. */
QUORIN_API int GetResultCode(void);
/** The result code the first-generation reader put in its answer to the
 *  command GetResultCode describes: the result byte of a plain answer, the
 *  16-bit code of an extended one (both 0 for success; any other value is
 *  the reader's own meaning, which may equal a library code). -1 when that
 *  command got no answer the library could read (GetResultCode is then the
 *  library's own outcome: 1, 5, 6, 17, 255), and when no reader is open. */
QUORIN_API int GetReaderResultCode(void);
/** Always -1: readers do not count swipes. */
QUORIN_API int GetSwipeCount(void);

/**
 * The reader's card data string with "|" (31 delimiters, see ZDMSRDATA),
 * whatever the card-data state: the empty record's before the first swipe.
 * @return the text; "" for an unknown handle. It lives in the reader's own
 *         result ring, which GetRawData(Handle) shares, and is freed by the
 *         reader's close. The ring's position is shared by all Ex readers:
 *         the text survives the next 32 texts taken from the rings of all Ex
 *         readers together (GetCardDataEx, GetRawData with a handle), and
 *         no longer, provided none of them is longer than 2048 characters.
 *         A longer text is put at the start of its reader's ring and moves
 *         the shared position there: it is overwritten by that reader's
 *         next text, and every text taken before it, of any reader, may be
 *         overwritten by the next text of its own reader. Copy the text
 *         before the next such call on any reader.
 */
QUORIN_API const char* GetCardDataEx(unsigned long Handle);
/** Copies the reader's record into *msr, whatever the card-data state (all
 *  zero before the first swipe).
 *  @retval 0 copied @retval 6 unknown handle, or msr NULL */
QUORIN_API long GetCardDataStructureEx(unsigned long Handle, ZDMSRDATA* msr);
/**
 * The result of the calling thread's last command on Handle (SendCommandEx,
 * SendCommandWithLengthEx, SendDataEx), also when it was refused (6 for an
 * unusable argument, 5 for an unknown handle), and also after the handle was
 * closed; each thread keeps this for the last 16 handles it used. A command
 * queued by SendDataEx gives its own outcome once its exchange ended (5 when
 * a close dropped it before it ran); until then, and without any command of
 * the thread: the reader's last result (which SendDataEx answers also set);
 * 0 for an unknown handle. For an extended command, the reader's 16-bit
 * result code.
 */
QUORIN_API int GetResultCodeEx(unsigned long Handle);
/** The result code the reader put in its answer to the command that
 *  GetResultCodeEx describes on this thread (the same rules: the calling
 *  thread's last command on Handle, else the reader's last exchange): the
 *  result byte of a plain answer, the 16-bit code of an extended one. -1
 *  when that command got no answer the library could read, so that
 *  GetResultCodeEx is the library's own outcome (1 time-out, 5 closed or
 *  lost, 6 refused, 17 transfer failed, 255), and for an unknown handle.
 *  A host that must tell a reader's code 5 from a lost connection asks
 *  this. */
QUORIN_API int GetReaderResultCodeEx(unsigned long Handle);
/** How many callbacks of the reader were dropped because its queue was full
 *  (see "Bounds" at the top); Handle 0 counts the first generation's; 0 for
 *  an unknown handle. */
QUORIN_API unsigned long GetDroppedCallbackCountEx(unsigned long Handle);
/** How many times the reader's incoming data was dropped because it arrived
 *  incomplete, out of place or garbled (see "Lost data" at the top); each
 *  time, the error callback was told why. Handle 0 counts the first
 *  generation's; 0 for an unknown handle. */
QUORIN_API unsigned long GetLostDataCountEx(unsigned long Handle);
/**
 * Raw reports, lower-case hex. Card data as the reader sent it: treat it as
 * secret.
 * - Handle 0: the first-generation reader's last card-data report (its
 *   bytes as received, however long); "" when none is open, none came, or
 *   the card data was cleared since. The text stays valid until the 32nd
 *   later GetRawData(0), ClearCardData or CloseDevice.
 * - A handle: the reports the reader's USB connection holds at this moment,
 *   one per line ("\n" between them). A report is held only while it is
 *   being handled, so this is usually ""; a serial connection holds none.
 *   "" for an unknown handle, or when the text would exceed 29695
 *   characters. The text lives in the reader's ring as GetCardDataEx's.
 */
QUORIN_API const char* GetRawData(unsigned long Handle);

/* ----------------------------------------------------- device information */
/* Queries about the first-generation reader. Those that ask the reader send
 * one fixed command through SendCommand, so they wipe the STATIC_STRING
 * ring, send nothing while another first-generation command is in flight
 * (they then answer as without a reader), and return texts that live as
 * SendCommand's or in the ring (valid until the next first or plain call
 * that returns a text or sends a command). GetResultCode gives the query's
 * result afterwards. What the answers mean is the reader's. */

/** Battery level. Sends "45": when its result code is 0, returns its answer
 *  hex read as a hexadecimal number ("64" gives 100; no data gives 0).
 *  Otherwise sends "4601000005": an answer beginning "010100" gives the rest
 *  read as a hexadecimal number; any other answer, and no reader open,
 *  gives 100. */
QUORIN_API long GetBatteryLevel(void);
/** The reader's serial number: the answer of "0003" turned from hex into
 *  characters (untrusted: escape before printing), at most 127 of them. It
 *  is asked once and kept, in a library buffer, until CloseDevice; an
 *  answer without data keeps nothing (the next call asks again) and gives
 *  "". */
QUORIN_API const char* GetDeviceSerial(void);
/** "1" when the answer of "0036", read as a decimal number (its leading
 *  digits), is at least 1, else "0" (also when no reader is open). Constant
 *  texts. */
QUORIN_API const char* GetCapStrivo20Encryption(void);
/** "1" when the answer of "15", read as a decimal number, is at least 2,
 *  else "0". Constant texts. */
QUORIN_API const char* GetCapMagStripeEncryption(void);
/** The answer of "0005" as upper-case hex (the SendCommand buffer); "" on
 *  failure. */
QUORIN_API const char* GetCapTracks(void);
/** The answer of "0000" as upper-case hex (the SendCommand buffer); "" on
 *  failure. */
QUORIN_API const char* GetFirmware(void);
/** The first 16 characters of the answer of "0000", in the ring; "" when it
 *  is shorter. */
QUORIN_API const char* GetDevicePartNumber(void);
/** The model description of the reader's device-table row ("ePivra"), in
 *  the ring; "" when none is open or the reader has no row. Asks nothing. */
QUORIN_API const char* GetDeviceName(void);
/** The product ID as QuorinGetPID stores it, as at least four lower-case hex
 *  digits ("001c"; 0x119 gives "0019"), in the ring; "0000" when none is
 *  open or the reader has no row. Asks nothing. */
QUORIN_API const char* GetProductID(void);
/** true when the first-generation reader is connected and GetProductID is
 *  that of an EMV model: 0x19, 0x1a, 0x1c, 0x1d, 0x1e, 0x1f, 0x11c (and
 *  0x119, reported as 0x19), and also "0000", so every reader opened without
 *  a device-table row (serial readers) counts as EMV. Asks nothing. */
QUORIN_API bool IsDeviceEMV(void);
/** Asks a Bluetooth LE reader to end its link (command "4601000B", through
 *  QuorinSendCommand with a buffer of 128 bytes) and, when it answered 0,
 *  pauses one second before returning. Returns 0, 5 (no reader), 15 (another
 *  command in flight), another code of the table, or the reader's result
 *  byte. */
QUORIN_API int TerminateBLEConnection(void);
/** The mode flag (0 at load). A flag kept for hosts: the library itself
 *  does not read it. Same as reading _VelarcMode. */
QUORIN_API int GetVelarcMode(void);
/** Stores the mode flag; any value. */
QUORIN_API void SetVelarcMode(int mode);
/** The mode flag itself, which hosts may read and write directly. */
QUORIN_API extern int _VelarcMode;

/* -------------------------------------------------------------------- EMV */
/* EMV transactions and configuration on the first-generation reader, which
 * must be an extended-protocol reader (IsDeviceEMV). Each function builds
 * one command from its arguments and sends it synchronously through
 * SendCommand or SendCommandWithLength, so it wipes the STATIC_STRING ring
 * and returns the reader's answer data as upper-case hex in the SendCommand
 * buffer (valid until the next first or plain call that returns a text or
 * sends a command); the result code is read with GetResultCode (the
 * reader's 16-bit result code once the answer was read). "" when nothing
 * came back, when no reader is open (GetResultCode 5), and when the
 * arguments cannot form a command (a NULL text where said below, or a whole
 * command text over 8189 characters): then nothing is sent and
 * GetResultCode is unchanged.
 * The meaning of the byte arguments (card types, options, modes, MAC types,
 * slots, operations, database selectors, LED states, date values) and of
 * the hex texts (serial number, objects, tags, CMUT, acquirer response) is
 * the reader's: the library passes each byte as two hex digits and each hex
 * text unchanged (not checked for hex digits). "%02x" below is one byte as
 * two lower-case hex digits.
 * A transaction: StartTransaction; the reader then reports its progress as
 * notifications 0x300 to 0x304 (OnTransactionStatus ... OnTransactionResult,
 * also OnNotification and GetTransactionProgress); answer a user selection
 * request (0x302) with SetUserSelectionResult and an ARQC (0x303) with
 * SetAcquirerResponse; CancelTransaction ends it early. */

/**
 * Starts a transaction: extended command 0x0300 with 19 data bytes, sent as
 * SendExtendedCommand does. Empties the notification queue of
 * GetTransactionProgress first (when the arguments are usable).
 * StartTransaction(60, 2, 0, "100", 0, "0", "0840", 0) sends the data
 * 3C 02 00 00 00 00 00 01 00 00 00 00 00 00 00 00 08 40 00.
 * @param[in] timeLimit       data byte 0
 * @param[in] cardType        data byte 1
 * @param[in] option          data byte 2
 * @param[in] amount          bytes 3 to 8: up to 12 decimal digits, padded
 *                            on the left with '0' to 12 and packed two per
 *                            byte (BCD: "100" gives 00 00 00 00 01 00); the
 *                            digits are read as hex digits and not checked
 * @param[in] transactionType data byte 9
 * @param[in] cashBack        bytes 10 to 15, as amount ("0" for none)
 * @param[in] currencyCode    bytes 16 and 17: exactly four hex digits
 *                            ("0840")
 * @param[in] mode            data byte 18
 * @return always "". The reader's answer reaches the OnDeviceExtendedResponse
 *         callback (as for SendExtendedCommand); a failure, or arguments
 *         refused (amount or cashBack NULL or over 12 characters,
 *         currencyCode NULL or not four hex digits: nothing is sent), shows
 *         only as the absence of that callback.
 */
QUORIN_API const char* StartTransaction(unsigned char timeLimit, unsigned char cardType,
                                        unsigned char option, const char* amount,
                                        unsigned char transactionType, const char* cashBack,
                                        const char* currencyCode, unsigned char mode);
/** Takes the oldest queued notification of the first-generation reader, of
 *  any message id, as "code,<id>;data,<HEX>" with the id in decimal and the
 *  data as upper-case hex ("code,769;data,4142" for 0x301 with data 41 42),
 *  or "" at once when none is queued: timeOut is not used, the call never
 *  waits. The queue keeps the 1024 newest notifications (older ones give
 *  way, also once they hold 8 MiB of text together), survives CloseDevice,
 *  and is emptied by StartTransaction, ClearCardData and QuorinClearBuffer.
 *  An Ex reader's notifications are not queued. The text
 *  lives in storage of the calling thread, as SendCommandEx's. */
QUORIN_API const char* GetTransactionProgress(int timeOut);
/** Cancels the transaction: command 0x0304 without data, as one ready-made
 *  packet (with-length text "4906000003040000"). The reader's answer data. */
QUORIN_API const char* CancelTransaction(void);
/** Answers a user selection request: command 0x0302 with the data bytes
 *  status, selection (with-length text "4908000003020002%02x%02x"). The
 *  reader's answer data. */
QUORIN_API const char* SetUserSelectionResult(unsigned char status, unsigned char selection);
/** Answers an ARQC: extended text "0303:" + response (the acquirer's
 *  response, hex). "" for NULL. The reader's answer data. */
QUORIN_API const char* SetAcquirerResponse(const char* response);
/**
 * Writes terminal configuration: extended text "0305:" + the configuration
 * write data, which Set/Get pairs share:
 * "%02x%02x%02x%02x" of (macType, slotNumber, operation, databaseSelector),
 * then deviceSerialNumber cut or padded at its end with '0' to exactly 32
 * characters, then objectsToWrite (hex; NULL counts as none), then CMUT
 * (hex, appended unchanged: what it holds is the reader's and the host's;
 * the library neither computes nor checks it).
 * @return the reader's answer data; "" and nothing sent when
 *         deviceSerialNumber or CMUT is NULL.
 */
QUORIN_API const char* SetTerminalConfiguration(unsigned char macType, unsigned char slotNumber,
                                                unsigned char operation,
                                                unsigned char databaseSelector,
                                                const char* deviceSerialNumber,
                                                const char* objectsToWrite, const char* CMUT);
/** Reads terminal configuration: extended text "0306:" + "%02x%02x%02x" of
 *  (slotNumber, operation, databaseSelector) + tagsToRead (hex; NULL counts
 *  as none): GetTerminalConfiguration(1, 0, 0, NULL) sends "0306:010000".
 *  The reader's answer data; "" and nothing sent when tagsToRead has more
 *  than 2041 characters. */
QUORIN_API const char* GetTerminalConfiguration(unsigned char slotNumber, unsigned char operation,
                                                unsigned char databaseSelector,
                                                const char* tagsToRead);
/** Writes application configuration: as SetTerminalConfiguration with
 *  command "0307:". */
QUORIN_API const char* SetApplicationConfiguration(unsigned char macType, unsigned char slotNumber,
                                                   unsigned char operation,
                                                   unsigned char databaseSelector,
                                                   const char* deviceSerialNumber,
                                                   const char* objectsToWrite, const char* CMUT);
/** Reads application configuration: as GetTerminalConfiguration with command
 *  "0308:". */
QUORIN_API const char* GetApplicationConfiguration(unsigned char slotNumber,
                                                   unsigned char operation,
                                                   unsigned char databaseSelector,
                                                   const char* tagsToRead);
/** Writes acquirer CA public keys: as SetTerminalConfiguration with command
 *  "0309:". */
QUORIN_API const char* SetAcquirerCAPublicKey(unsigned char macType, unsigned char slotNumber,
                                              unsigned char operation,
                                              unsigned char databaseSelector,
                                              const char* deviceSerialNumber,
                                              const char* objectsToWrite, const char* CMUT);
/** Reads acquirer CA public keys: as GetTerminalConfiguration with command
 *  "030a:". */
QUORIN_API const char* GetAcquirerCAPublicKey(unsigned char slotNumber, unsigned char operation,
                                              unsigned char databaseSelector,
                                              const char* tagsToRead);
/** Asks for kernel information: extended text "030b:" + "%02x" of Mode. The
 *  reader's answer data. */
QUORIN_API const char* GetKernelInformation(unsigned char Mode);
/** Sets the reader's clock: extended text "030C:" + "%02x" of macType +
 *  deviceSerialNumber unchanged (not padded) + "%02x" of each of byteMonth,
 *  byteDay, byteHour, byteMinute, byteSecond, byteWeekDay, byteYear, in this
 *  order (binary values, not BCD) + CMUT. The reader's answer data; "" and
 *  nothing sent when deviceSerialNumber or CMUT is NULL. */
QUORIN_API const char* SetDateTime(unsigned char macType, const char* deviceSerialNumber,
                                   unsigned char byteMonth, unsigned char byteDay,
                                   unsigned char byteHour, unsigned char byteMinute,
                                   unsigned char byteSecond, unsigned char byteWeekDay,
                                   unsigned char byteYear, const char* CMUT);
/** Reads the reader's clock: command 0x030D without data (with-length text
 *  "49060000030D0000"). The reader's answer data. */
QUORIN_API const char* GetDateTime(void);
/** Commits the configuration: command 0x030E with the data byte database
 *  (with-length text "49070000030E0001%02x"). The reader's answer data. */
QUORIN_API const char* CommitConfiguration(unsigned char database);
/** Sets the reader's LED: plain command 0x4D with the data byte state. The
 *  answer is not returned; its result code is in GetResultCode. */
QUORIN_API void SetLEDState(unsigned char state);
/**
 * Sends an extended command given as "CCCCLLLL" + data: the command id
 * (four hex digits), the data length in bytes (four hex digits), then the
 * data as hex ("03010000": command 0x0301 without data; "0301000112": data
 * 12). Synchronous, as QuorinSendCommand; wipes the SendCommand buffer and
 * the STATIC_STRING ring.
 * When the reader answered, the OnDeviceExtendedResponse callback receives
 * "%04x%04x" of (the reader's result code, the data byte count) followed by
 * the answer data as upper-case hex: result 2 with data 9F 27 gives
 * "000200029F27", result 0 without data "00000000".
 * @retval 0 the reader answered, whatever its result code (read it with
 *           GetResultCode or from the callback's text)
 * @retval 6 lpCmd NULL or shorter than 8 characters, or the length
 *           disagrees with the data ("03010002AB"); nothing is sent
 * @return otherwise the command path's code (5, 15, 17, ...); no callback
 *         then
 */
QUORIN_API int SendExtendedCommand(const char* lpCmd);
/**
 * The current card record as one BER-TLV text, upper-case hex:
 * FA { DFDF25 serial number, F4 { DFDF37 track 1, DFDF39 track 2, DFDF3B
 * track 3, DFDF3C Fluxmark data, DFDF3D Fluxmark status, DFDF50 key serial
 * number } }. DFDF25 holds the first 16 characters of m_szDeviceSerialNumber
 * as hex, with their count as its length. The other values are the
 * record's texts unchanged; the track and Fluxmark elements take the
 * record's own lengths (m_dwTrack1Length, ..., m_dwFluxmarkLength), DFDF3D
 * and DFDF50 half their text's length. So an element is consistent only
 * when its text is hex of that many bytes: the tracks of encrypting readers
 * (not clear tracks), and Fluxmark data of fewer than 128 bytes (the record
 * keeps 127). Lengths: "%02X" below 0x80, else "81", "82", "83" or "84"
 * followed by 1 to 4 length bytes. The empty record gives
 * "FA1EDFDF2500F418DFDF3700DFDF3900DFDF3B00DFDF3C00DFDF3D00DFDF5000".
 * Reads the record whatever the card-data state.
 * @return the text, in the GetCardData buffer (valid until the next
 *         GetCardData, GetTLVPayload or clear-card-data call); "" when no
 *         reader is open.
 */
QUORIN_API const char* GetTLVPayload(void);

/* ---------------------------------------------------------------- version */

/** The version of this header, which is the version of the library it came
 *  with (MAJOR.MINOR.PATCH; the library's SONAME is libquorin.so.MAJOR).
 *  GetLibraryVersion gives the version of the library a host runs with. */
#define QUORIN_VERSION_MAJOR 1
#define QUORIN_VERSION_MINOR 0
#define QUORIN_VERSION_PATCH 0
#define QUORIN_VERSION_STRING "1.0.0"

/** The version of the library that is running, "MAJOR.MINOR.PATCH" (for
 *  example "1.0.0"; QUORIN_VERSION_STRING is the header's). The text is
 *  constant and valid for the life of the process; any thread may call this
 *  at any time. */
QUORIN_API const char* GetLibraryVersion(void);

#ifdef __cplusplus
}
#endif

#endif /* QUORIN_H */
