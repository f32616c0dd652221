"""ctypes declarations of libquorin's C API: the card record, the callback
types and the prototypes of the functions the package calls."""

from __future__ import annotations

import ctypes
from ctypes import (
    CFUNCTYPE,
    POINTER,
    Structure,
    c_bool,
    c_char,
    c_char_p,
    c_int,
    c_long,
    c_ubyte,
    c_uint,
    c_ulong,
    c_void_p,
)


class ZDMSRDATA(Structure):
    """The card record of the last swipe (character arrays, then longs)."""

    _fields_ = [
        ("m_szCardData", c_char * 768),
        ("m_szCardDataMasked", c_char * 768),
        ("m_szTrack1Data", c_char * 256),
        ("m_szTrack2Data", c_char * 256),
        ("m_szTrack3Data", c_char * 256),
        ("m_szTrack1DataMasked", c_char * 256),
        ("m_szTrack2DataMasked", c_char * 256),
        ("m_szTrack3DataMasked", c_char * 256),
        ("m_szFluxmarkData", c_char * 256),
        ("m_szCardEncodeType", c_char * 256),
        ("m_szFluxmarkStatus", c_char * 256),
        ("m_szDUKPTSessionID", c_char * 256),
        ("m_szDeviceSerialNumber", c_char * 256),
        ("m_szDUKPTKSN", c_char * 256),
        ("m_szFirstName", c_char * 256),
        ("m_szLastName", c_char * 256),
        ("m_szPAN", c_char * 256),
        ("m_szMonth", c_char * 256),
        ("m_szYear", c_char * 256),
        ("m_dwReaderID", c_long),
        ("m_dwFluxmarkLength", c_long),
        ("m_dwFluxmarkStatus", c_long),
        ("m_dwTrack1Length", c_long),
        ("m_dwTrack2Length", c_long),
        ("m_dwTrack3Length", c_long),
        ("m_dwTrack1LengthMasked", c_long),
        ("m_dwTrack2LengthMasked", c_long),
        ("m_dwTrack3LengthMasked", c_long),
        ("m_dwCardEncodeType", c_long),
        ("m_dwTrack1DcdStatus", c_long),
        ("m_dwTrack2DcdStatus", c_long),
        ("m_dwTrack3DcdStatus", c_long),
        ("m_dwCardSwipeStatus", c_long),
        ("m_dwBatteryLevel", c_long),
        ("m_dwEncryptionStatus", c_long),
    ]


# Ex callbacks: (handle, host object, ...).
CardDataReceivedEx = CFUNCTYPE(None, c_ulong, c_void_p, c_char_p)
DeviceStateChangedEx = CFUNCTYPE(None, c_ulong, c_void_p, c_long)
NotificationEx = CFUNCTYPE(None, c_ulong, c_void_p, c_uint, c_char_p)
DeviceResponseEx = CFUNCTYPE(None, c_ulong, c_void_p, c_char_p)

# Reader arrival and removal: (host object, device path, change).
DeviceListChanged = CFUNCTYPE(None, c_void_p, c_char_p, c_long)

# First-generation and plain callbacks.
DeviceStateChanged = CFUNCTYPE(None, c_long)
DeviceResponse = CFUNCTYPE(None, c_char_p)
Notification = CFUNCTYPE(None, c_uint, c_char_p)


def null(function_type):
    """A NULL pointer of a callback type, which unregisters a callback
    (ctypes does not take None for a function pointer argument)."""
    return function_type()

_u8 = c_ubyte

# name: (restype, argtypes). Every text-returning function is declared with
# c_char_p, so ctypes copies the text into a bytes object as the call returns,
# before any later call can reuse the library's buffer.
PROTOTYPES = {
    # session
    "QuorinGetDeviceList": (c_char_p, []),
    "QuorinOpenDevice": (c_long, [c_char_p]),
    "QuorinCloseDevice": (c_long, []),
    "QuorinIsDeviceConnected": (c_int, []),
    "QuorinGetPID": (None, [POINTER(c_long)]),
    "QuorinGetCardDataState": (None, [POINTER(c_long)]),
    "OpenDeviceEx": (c_ulong, [c_char_p]),
    "CloseDeviceEx": (None, [c_ulong]),
    "IsDeviceConnectedEx": (c_int, [c_ulong]),
    "GetProductIDEx": (c_int, [c_ulong]),
    # Ex callbacks
    "OnDataReceivedEx": (None, [c_ulong, CardDataReceivedEx, c_void_p]),
    "OnDeviceConnectionStateChangedEx": (None, [c_ulong, DeviceStateChangedEx, c_void_p]),
    "OnNotificationDataEx": (None, [c_ulong, NotificationEx, c_void_p]),
    "OnDeviceResponseEx": (None, [c_ulong, DeviceResponseEx, c_void_p]),
    "OnErrorEx": (None, [c_ulong, DeviceResponseEx, c_void_p]),
    # reader arrival and removal
    "OnDeviceListChanged": (c_long, [DeviceListChanged, c_void_p]),
    # first-generation callbacks used by the transaction helper
    "OnNotification": (None, [Notification]),
    "OnDeviceConnectionStateChanged": (None, [DeviceStateChanged]),
    "OnDeviceExtendedResponse": (None, [DeviceResponse]),
    # commands
    "SetCommandTimeout": (None, [c_int]),
    "SendCommand": (c_char_p, [c_char_p]),
    "SendCommandWithLength": (c_char_p, [c_char_p]),
    "SendCommandEx": (c_char_p, [c_ulong, c_char_p]),
    "SendCommandWithLengthEx": (c_char_p, [c_ulong, c_char_p]),
    "SendDataEx": (c_long, [c_ulong, c_char_p]),
    "ClearCardData": (None, []),
    "ClearCardDataEx": (None, [c_ulong]),
    # card data
    "QuorinGetCardData": (c_long, [POINTER(ZDMSRDATA)]),
    "GetCardDataEx": (c_char_p, [c_ulong]),
    "GetCardDataStructureEx": (c_long, [c_ulong, POINTER(ZDMSRDATA)]),
    "GetResultCode": (c_int, []),
    "GetResultCodeEx": (c_int, [c_ulong]),
    # device information
    "GetBatteryLevel": (c_long, []),
    "GetDeviceSerial": (c_char_p, []),
    "GetCapStrivo20Encryption": (c_char_p, []),
    "GetCapMagStripeEncryption": (c_char_p, []),
    "GetCapTracks": (c_char_p, []),
    "GetFirmware": (c_char_p, []),
    "GetDevicePartNumber": (c_char_p, []),
    "GetDeviceName": (c_char_p, []),
    "GetProductID": (c_char_p, []),
    "IsDeviceEMV": (c_bool, []),
    # EMV
    "StartTransaction": (c_char_p, [_u8, _u8, _u8, c_char_p, _u8, c_char_p, c_char_p, _u8]),
    "GetTransactionProgress": (c_char_p, [c_int]),
    "CancelTransaction": (c_char_p, []),
    "SetUserSelectionResult": (c_char_p, [_u8, _u8]),
    "SetAcquirerResponse": (c_char_p, [c_char_p]),
    "SetTerminalConfiguration": (c_char_p, [_u8, _u8, _u8, _u8, c_char_p, c_char_p, c_char_p]),
    "GetTerminalConfiguration": (c_char_p, [_u8, _u8, _u8, c_char_p]),
    "SetApplicationConfiguration": (c_char_p, [_u8, _u8, _u8, _u8, c_char_p, c_char_p, c_char_p]),
    "GetApplicationConfiguration": (c_char_p, [_u8, _u8, _u8, c_char_p]),
    "SetAcquirerCAPublicKey": (c_char_p, [_u8, _u8, _u8, _u8, c_char_p, c_char_p, c_char_p]),
    "GetAcquirerCAPublicKey": (c_char_p, [_u8, _u8, _u8, c_char_p]),
    "GetKernelInformation": (c_char_p, [_u8]),
    "SetDateTime": (c_char_p, [_u8, c_char_p, _u8, _u8, _u8, _u8, _u8, _u8, _u8, c_char_p]),
    "GetDateTime": (c_char_p, []),
    "CommitConfiguration": (c_char_p, [_u8]),
    "SetLEDState": (None, [_u8]),
    "SendExtendedCommand": (c_int, [c_char_p]),
    "GetTLVPayload": (c_char_p, []),
}


# Functions a library of an earlier release lacks; the package works without
# them.
OPTIONAL_PROTOTYPES = {
    "GetLibraryVersion": (c_char_p, []),
    "GetReaderResultCode": (c_int, []),
    "GetReaderResultCodeEx": (c_int, [c_ulong]),
}


def declare(cdll: ctypes.CDLL) -> None:
    """Sets restype and argtypes of every function in PROTOTYPES (and of
    those in OPTIONAL_PROTOTYPES that the library has); raises AttributeError
    naming the first function of PROTOTYPES the library lacks."""
    for name, (restype, argtypes) in PROTOTYPES.items():
        function = getattr(cdll, name)
        function.restype = restype
        function.argtypes = argtypes
    for name, (restype, argtypes) in OPTIONAL_PROTOTYPES.items():
        function = getattr(cdll, name, None)
        if function is not None:
            function.restype = restype
            function.argtypes = argtypes
