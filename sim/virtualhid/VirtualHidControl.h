/* Control API of the virtual USB bus (libquorin-virtualhid.so.0).
 *
 * The library is a drop-in for hidapi's C API: a program linked against the
 * real hidapi (hidraw or libusb flavour) sees virtual readers instead of
 * hardware when it runs with
 *
 *     LD_PRELOAD=/path/to/libquorin-virtualhid.so.0 program
 * or
 *     LD_LIBRARY_PATH=<build>/sim/hidapi program
 *
 * (the second directory holds libhidapi-hidraw.so.0 and libhidapi-libusb.so.0
 * naming this library).
 *
 * Readers come from the environment, applied once, at the first call into
 * the library (any hid_* or quorin_vhid_* function):
 *
 *     QUORIN_VHID_READERS="emv:0x19:SN123,plain:0x11:SN456"
 *     QUORIN_VHID_CONFIG=/path/to/file      same entries, one per line;
 *                                           blank lines and lines starting
 *                                           with '#' are skipped
 *     QUORIN_VHID_BACKEND=hidraw|libusb     paths and read behaviour
 *
 * An entry is MODEL:PID[:SERIAL[:VID]]. MODEL is "plain" (a magnetic-stripe
 * reader answering plain commands on report 0) or "emv" (an extended-protocol
 * reader on report 1, with a scripted EMV transaction). PID and VID are
 * numbers in C notation (0x19, 25); VID defaults to the vendor ID the
 * library was built for (quorin_vhid_default_vendor_id). A missing SERIAL
 * gives a reader without a serial-number string. An entry that cannot be
 * read is reported on standard error and skipped.
 *
 * The functions below script the bus from the same process (tests, language
 * bindings through ctypes, simulators). They may be called from any thread.
 * Unless stated otherwise they return 0 on success and -1 for an unknown
 * reader id or an unusable argument. Hex arguments take two digits per byte,
 * either case, no separators.
 */
#ifndef QUORIN_VIRTUALHID_CONTROL_H
#define QUORIN_VIRTUALHID_CONTROL_H

#include <stddef.h>

#define QUORIN_VHID_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* Unplugs and forgets every reader (those from the environment included),
 * selects the hidraw backend and restarts path numbering. Handles that a
 * program still holds stay valid and dead. */
QUORIN_VHID_API int quorin_vhid_reset(void);

/* "hidraw" (paths /dev/hidrawN, one read = one report) or "libusb" (paths
 * 1-2.N:1.0, input reports cut into 64-byte reads). Takes effect for readers
 * plugged afterwards. */
QUORIN_VHID_API int quorin_vhid_set_backend(const char* backend);

/* The vendor ID a reader gets when none is given. */
QUORIN_VHID_API unsigned int quorin_vhid_default_vendor_id(void);

/* Puts a reader of model "plain" or "emv" on the bus. vendor_id 0 means the
 * default vendor ID; serial NULL means no serial-number string. Returns the
 * reader's id (1, 2, ...; never reused), or -1. */
QUORIN_VHID_API int quorin_vhid_plug(const char* model, unsigned int vendor_id,
                                     unsigned int product_id, const char* serial);

/* Plugs the readers of a list of entries (see above, separated by ',' or
 * new lines). Returns how many were plugged, or -1 when an entry cannot be
 * read (then none is). */
QUORIN_VHID_API int quorin_vhid_configure(const char* entries);

/* Takes the reader off the bus: it is no longer listed, and every handle
 * open on it fails from now on. */
QUORIN_VHID_API int quorin_vhid_unplug(int id);
/* Back on the bus, under the same path; old handles stay dead. */
QUORIN_VHID_API int quorin_vhid_replug(int id);

/* Number of readers on the bus (unplugged ones included); the ids of the
 * readers, in plugging order, into ids[0..capacity). Returns the count. */
QUORIN_VHID_API int quorin_vhid_readers(int* ids, int capacity);

/* The reader's hidapi path, NUL-terminated, into buffer. Returns the path's
 * length, or -1 (also when it does not fit). */
QUORIN_VHID_API int quorin_vhid_path(int id, char* buffer, size_t size);

/* A card swipe: the reader sends a card-data report built from clear track
 * texts (any may be NULL or ""). Encrypting models put stand-in bytes (not
 * real ciphertext) in the track fields and masked copies of the tracks in
 * the masked fields; other models carry the tracks in clear. */
QUORIN_VHID_API int quorin_vhid_swipe(int id, const char* track1, const char* track2,
                                      const char* track3);

/* The reader sends this input report as it is (a prebuilt card-data report,
 * or anything else). */
QUORIN_VHID_API int quorin_vhid_push_input(int id, const char* hex);

/* An "emv" reader sends a notification with this message id and data, cut
 * into packets as the reader does. -1 for a "plain" reader. */
QUORIN_VHID_API int quorin_vhid_push_notification(int id, unsigned int message_id, const char* hex);

/* How the reader answers a command from now on (replacing a built-in or
 * earlier answer): result code and data (hex, may be ""). command is a plain
 * command in hex ("0003", "45") or, for an "emv" reader, an extended command
 * id followed by a colon ("0306:"), optionally with its data ("0306:010000").
 * A command is answered by the entry for its exact text, else by the entry
 * for its command byte ("45") or command id ("0306:") alone. */
QUORIN_VHID_API int quorin_vhid_script_response(int id, const char* command, int result,
                                                const char* hex);

/* The next `count` response reads of an "emv" reader are answered "busy"
 * before the response itself. */
QUORIN_VHID_API int quorin_vhid_set_busy(int id, int count);

/* With accessible 0, opening the reader fails as a device node this user
 * may not open does (hid_error(NULL): "...: Permission denied"); the
 * libusb backend then lists it without its strings. 1 undoes it. */
QUORIN_VHID_API int quorin_vhid_set_accessible(int id, int accessible);

/* Handles open on the reader; with id 0, on the whole bus (unplugged and
 * forgotten readers included). */
QUORIN_VHID_API int quorin_vhid_open_handles(int id);

/* Feature reports written to the reader since it was plugged. */
QUORIN_VHID_API int quorin_vhid_feature_writes(int id);

/* Feature report number `index` (0 = first; -1 = last) written to the
 * reader, as hex, NUL-terminated, into buffer. Returns the number of hex
 * characters, or -1 (no such write, or it does not fit). */
QUORIN_VHID_API int quorin_vhid_feature_write(int id, int index, char* buffer, size_t size);

/* State of the scripted EMV transaction of an "emv" reader: 0 idle,
 * 1 waiting for the user-selection result, 2 waiting for the acquirer
 * response; -1 for other readers. */
QUORIN_VHID_API int quorin_vhid_transaction_state(int id);

/* Called for every change of the readers listed, in the order of the changes:
 * listed 1 when a reader was plugged (or plugged back in), 0 when it was
 * unplugged, or reset away; path is its hidapi path, valid during the call.
 * It runs on the thread that made the change, while the bus is locked: it
 * must return quickly and must not call any quorin_vhid_ or hid_ function. */
typedef void (*quorin_vhid_listing_fn)(void* context, const char* path, unsigned int vendor_id,
                                       unsigned int product_id, int listed);

/* Starts calling fn(context, ...) for every change from now on (libquorin's
 * reader arrival and removal callback uses it when the bus stands in for
 * hidapi). Returns the watch's id (1, 2, ...), or -1 for a NULL fn. */
QUORIN_VHID_API int quorin_vhid_watch(quorin_vhid_listing_fn fn, void* context);

/* Stops a watch: when this returns, its function is not running and is not
 * called again. -1 for an unknown id. */
QUORIN_VHID_API int quorin_vhid_unwatch(int watch_id);

#ifdef __cplusplus
}
#endif

#endif /* QUORIN_VIRTUALHID_CONTROL_H */
