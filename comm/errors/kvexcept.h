// Unit Kvexcept: the library's error codes and exception classes. Lower levels report a
// failure as a negative code whose magnitude is also the identifier of its message in the
// error table "KIVO_ERROR_STRINGS_ENGLISH"; CheckException turns such a code into the exception
// of its class and XlatException turns an exception back into a code.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "comm/errors/kvsrmgr.h"
#include "comm/platform/component.h"
#include "comm/platform/framework.h"

namespace kivo {

// The codes the library's own operations return, by name.
constexpr int ecInsufficientMemory = -8;
constexpr int ecBadArgument = -1002;
constexpr int ecBadId = -2001;
constexpr int ecNotOpen = -2007;
constexpr int ecAlreadyOpen = -2008;
constexpr int ecNoPortSelected = -2011;
constexpr int ecNotOpenedByTapi = -2012;
constexpr int ecNullApi = -3001;
constexpr int ecNotSupported = -3002;
constexpr int ecRegisterHandlerFailed = -3003;
constexpr int ecPutBlockFail = -3004;
constexpr int ecOutputBufferTooSmall = -3006;
constexpr int ecBufferIsEmpty = -3007;
constexpr int ecTriggerTooLong = -5002;
constexpr int ecBadTriggerHandle = -5003;

// Root of the library's exception classes.
class EKVDException : public Exception {
public:
    // ErrorCode := code, message := the table text of the code's magnitude. The flag only
    // tells this constructor apart from the one taking a text.
    explicit EKVDException(int32_t code, bool unused = false);
    // ErrorCode := 0, message := text.
    explicit EKVDException(std::string text, uint8_t unused = 0);

    // The identifier of a code's message: its magnitude.
    static int MapCodeToStringID(int code);

    int32_t ErrorCode;
};

// Every class below EKVDException adds only its type, by which callers catch a category.
#define KIVO_EXCEPTION_CLASS(Name, Base)                                                           \
    class Name : public Base {                                                                     \
    public:                                                                                        \
        using Base::Base;                                                                          \
    }

KIVO_EXCEPTION_CLASS(EGeneral, EKVDException);
KIVO_EXCEPTION_CLASS(EBadArgument, EGeneral);
KIVO_EXCEPTION_CLASS(EGotQuitMsg, EGeneral);
KIVO_EXCEPTION_CLASS(EBufferTooBig, EGeneral);
KIVO_EXCEPTION_CLASS(EPortNotAssigned, EGeneral);
KIVO_EXCEPTION_CLASS(EInternal, EGeneral);
KIVO_EXCEPTION_CLASS(EModemNotAssigned, EGeneral);
KIVO_EXCEPTION_CLASS(EPhonebookNotAssigned, EGeneral);
KIVO_EXCEPTION_CLASS(ECannotUseWithWinSock, EGeneral);

KIVO_EXCEPTION_CLASS(EOpenComm, EKVDException);
KIVO_EXCEPTION_CLASS(EBadId, EOpenComm);
KIVO_EXCEPTION_CLASS(EBaudRate, EOpenComm);
KIVO_EXCEPTION_CLASS(EByteSize, EOpenComm);
KIVO_EXCEPTION_CLASS(EDefault, EOpenComm);
KIVO_EXCEPTION_CLASS(EHardware, EOpenComm);
KIVO_EXCEPTION_CLASS(EMemory, EOpenComm);
KIVO_EXCEPTION_CLASS(ECommNotOpen, EOpenComm);
KIVO_EXCEPTION_CLASS(EAlreadyOpen, EOpenComm);
KIVO_EXCEPTION_CLASS(ENoHandles, EOpenComm);
KIVO_EXCEPTION_CLASS(ENoTimers, EOpenComm);
KIVO_EXCEPTION_CLASS(ENoPortSelected, EOpenComm);
KIVO_EXCEPTION_CLASS(ENotOpenedByTapi, EOpenComm);

KIVO_EXCEPTION_CLASS(ESerialIO, EKVDException);
KIVO_EXCEPTION_CLASS(ENullApi, ESerialIO);
KIVO_EXCEPTION_CLASS(ERegisterHandlerFailed, ESerialIO);
KIVO_EXCEPTION_CLASS(EPutBlockFail, ESerialIO);
KIVO_EXCEPTION_CLASS(EGetBlockFail, ESerialIO);
KIVO_EXCEPTION_CLASS(EOutputBufferTooSmall, ESerialIO);
KIVO_EXCEPTION_CLASS(EBufferIsEmpty, ESerialIO);
KIVO_EXCEPTION_CLASS(ETracingNotEnabled, ESerialIO);
KIVO_EXCEPTION_CLASS(ELoggingNotEnabled, ESerialIO);
KIVO_EXCEPTION_CLASS(EBaseAddressNotSet, ESerialIO);

KIVO_EXCEPTION_CLASS(EModem, EKVDException);
KIVO_EXCEPTION_CLASS(EModemNotStarted, EModem);
KIVO_EXCEPTION_CLASS(EModemBusy, EModem);
KIVO_EXCEPTION_CLASS(EModemNotDialing, EModem);
KIVO_EXCEPTION_CLASS(EModemNotResponding, EModem);
KIVO_EXCEPTION_CLASS(EModemRejectedCommand, EModem);
KIVO_EXCEPTION_CLASS(EModemStatusMismatch, EModem);
KIVO_EXCEPTION_CLASS(EAlreadyDialing, EModem);
KIVO_EXCEPTION_CLASS(ENotDialing, EModem);

KIVO_EXCEPTION_CLASS(ETrigger, EKVDException);
KIVO_EXCEPTION_CLASS(ETriggerTooLong, ETrigger);
KIVO_EXCEPTION_CLASS(EBadTriggerHandle, ETrigger);

KIVO_EXCEPTION_CLASS(EPacket, EKVDException);
KIVO_EXCEPTION_CLASS(EInvalidProperty, EPacket);
KIVO_EXCEPTION_CLASS(EStringSizeError, EPacket);

KIVO_EXCEPTION_CLASS(EProtocol, EKVDException);
KIVO_EXCEPTION_CLASS(ETimeout, EProtocol);
KIVO_EXCEPTION_CLASS(ETooManyErrors, EProtocol);
KIVO_EXCEPTION_CLASS(ESequenceError, EProtocol);

KIVO_EXCEPTION_CLASS(EINI, EKVDException);
KIVO_EXCEPTION_CLASS(EKeyTooLong, EINI);
KIVO_EXCEPTION_CLASS(EDataTooLarge, EINI);
KIVO_EXCEPTION_CLASS(EIniWrite, EINI);
KIVO_EXCEPTION_CLASS(EIniRead, EINI);
KIVO_EXCEPTION_CLASS(ERecordExists, EINI);
KIVO_EXCEPTION_CLASS(ERecordNotFound, EINI);
KIVO_EXCEPTION_CLASS(EDatabaseFull, EINI);
KIVO_EXCEPTION_CLASS(EDatabaseEmpty, EINI);
KIVO_EXCEPTION_CLASS(EBadFieldList, EINI);
KIVO_EXCEPTION_CLASS(EBadFieldForIndex, EINI);

KIVO_EXCEPTION_CLASS(EFax, EKVDException);
KIVO_EXCEPTION_CLASS(EFaxBadFormat, EFax);
KIVO_EXCEPTION_CLASS(EBadGraphicsFormat, EFax);
KIVO_EXCEPTION_CLASS(EConvertAbort, EFax);
KIVO_EXCEPTION_CLASS(EUnpackAbort, EFax);
KIVO_EXCEPTION_CLASS(ECantMakeBitmap, EFax);
KIVO_EXCEPTION_CLASS(ENoImageLoaded, EFax);
KIVO_EXCEPTION_CLASS(ENoImageBlockMarked, EFax);
KIVO_EXCEPTION_CLASS(EInvalidPageNumber, EFax);
KIVO_EXCEPTION_CLASS(EFaxBadMachine, EFax);
KIVO_EXCEPTION_CLASS(EFaxBadModemResult, EFax);
KIVO_EXCEPTION_CLASS(EFaxTrainError, EFax);
KIVO_EXCEPTION_CLASS(EFaxInitError, EFax);
KIVO_EXCEPTION_CLASS(EFaxBusy, EFax);
KIVO_EXCEPTION_CLASS(EFaxVoiceCall, EFax);
KIVO_EXCEPTION_CLASS(EFaxDataCall, EFax);
KIVO_EXCEPTION_CLASS(EFaxNoDialTone, EFax);
KIVO_EXCEPTION_CLASS(EFaxNoCarrier, EFax);
KIVO_EXCEPTION_CLASS(EFaxSessionError, EFax);
KIVO_EXCEPTION_CLASS(EFaxPageError, EFax);
KIVO_EXCEPTION_CLASS(EAlreadyMonitored, EFax);

KIVO_EXCEPTION_CLASS(ETapi, EKVDException);
KIVO_EXCEPTION_CLASS(ETapiAllocated, ETapi);
KIVO_EXCEPTION_CLASS(ETapiBadDeviceID, ETapi);
KIVO_EXCEPTION_CLASS(ETapiBearerModeUnavail, ETapi);
KIVO_EXCEPTION_CLASS(ETapiCallUnavail, ETapi);
KIVO_EXCEPTION_CLASS(ETapiCompletionOverrun, ETapi);
KIVO_EXCEPTION_CLASS(ETapiConferenceFull, ETapi);
KIVO_EXCEPTION_CLASS(ETapiDialBilling, ETapi);
KIVO_EXCEPTION_CLASS(ETapiDialDialtone, ETapi);
KIVO_EXCEPTION_CLASS(ETapiDialPrompt, ETapi);
KIVO_EXCEPTION_CLASS(ETapiDialQuiet, ETapi);
KIVO_EXCEPTION_CLASS(ETapiIncompatibleApiVersion, ETapi);
KIVO_EXCEPTION_CLASS(ETapiIncompatibleExtVersion, ETapi);
KIVO_EXCEPTION_CLASS(ETapiIniFileCorrupt, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInUse, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalAddress, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalAddressID, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalAddressMode, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalAddressState, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalAppHandle, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalAppName, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalBearerMode, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalCallComplMode, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalCallHandle, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalCallParams, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalCallPrivilege, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalCallSelect, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalCallState, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalCallStatelist, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalCard, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalCompletionID, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalConfCallHandle, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalConsultCallHandle, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalCountryCode, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalDeviceClass, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalDeviceHandle, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalDialParams, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalDigitList, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalDigitMode, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalDigits, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalExtVersion, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalGroupID, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalLineHandle, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalLineState, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalLocation, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalMediaList, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalMediaMode, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalMessageID, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalParam, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalParkID, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalParkMode, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalPointer, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalPrivSelect, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalRate, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalRequestMode, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalTerminalID, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalTerminalMode, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalTimeout, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalTone, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalToneList, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalToneMode, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalTransferMode, ETapi);
KIVO_EXCEPTION_CLASS(ETapiLineMapperFailed, ETapi);
KIVO_EXCEPTION_CLASS(ETapiNoConference, ETapi);
KIVO_EXCEPTION_CLASS(ETapiNoDevice, ETapi);
KIVO_EXCEPTION_CLASS(ETapiNoDriver, ETapi);
KIVO_EXCEPTION_CLASS(ETapiNoMem, ETapi);
KIVO_EXCEPTION_CLASS(ETapiNoRequest, ETapi);
KIVO_EXCEPTION_CLASS(ETapiNotOwner, ETapi);
KIVO_EXCEPTION_CLASS(ETapiNotRegistered, ETapi);
KIVO_EXCEPTION_CLASS(ETapiOperationFailed, ETapi);
KIVO_EXCEPTION_CLASS(ETapiOperationUnavail, ETapi);
KIVO_EXCEPTION_CLASS(ETapiRateUnavail, ETapi);
KIVO_EXCEPTION_CLASS(ETapiResourceUnavail, ETapi);
KIVO_EXCEPTION_CLASS(ETapiRequestOverrun, ETapi);
KIVO_EXCEPTION_CLASS(ETapiStructureTooSmall, ETapi);
KIVO_EXCEPTION_CLASS(ETapiTargetNotFound, ETapi);
KIVO_EXCEPTION_CLASS(ETapiTargetSelf, ETapi);
KIVO_EXCEPTION_CLASS(ETapiUninitialized, ETapi);
KIVO_EXCEPTION_CLASS(ETapiUserUserInfoTooBig, ETapi);
KIVO_EXCEPTION_CLASS(ETapiReinit, ETapi);
KIVO_EXCEPTION_CLASS(ETapiAddressBlocked, ETapi);
KIVO_EXCEPTION_CLASS(ETapiBillingRejected, ETapi);
KIVO_EXCEPTION_CLASS(ETapiInvalFeature, ETapi);
KIVO_EXCEPTION_CLASS(ETapiNoMultipleInstance, ETapi);
KIVO_EXCEPTION_CLASS(ETapiBusy, ETapi);
KIVO_EXCEPTION_CLASS(ETapiNotSet, ETapi);
KIVO_EXCEPTION_CLASS(ETapiNoSelect, ETapi);
KIVO_EXCEPTION_CLASS(ETapiLoadFail, ETapi);
KIVO_EXCEPTION_CLASS(ETapiGetAddrFail, ETapi);
KIVO_EXCEPTION_CLASS(ETapi16Disabled, ETapi);
KIVO_EXCEPTION_CLASS(ETapiVoiceNotSupported, ETapi);
KIVO_EXCEPTION_CLASS(ETapiWaveFail, ETapi);
KIVO_EXCEPTION_CLASS(ETapiTranslateFail, ETapi);
KIVO_EXCEPTION_CLASS(ETapiUnexpected, ETapi);

KIVO_EXCEPTION_CLASS(ERas, EKVDException);
KIVO_EXCEPTION_CLASS(ERasLoadFail, ERas);

KIVO_EXCEPTION_CLASS(EKvTerminal, EKVDException);
KIVO_EXCEPTION_CLASS(EKvTermRangeError, EKvTerminal);
KIVO_EXCEPTION_CLASS(EKvTermInvalidParameter, EKvTerminal);
KIVO_EXCEPTION_CLASS(EKvTermTooLarge, EKvTerminal);

#undef KIVO_EXCEPTION_CLASS

// The code unchanged when it is 0 or positive, or while the component (may be null) is being
// loaded from its stored layout. Otherwise raises: EOutOfMemory for -8; EInOutError with the
// code's message and its magnitude for the other codes from -162 to -2; the class mapped to
// the code; or EKVDException "Kivo exception" with ErrorCode 0 for a code without a class.
int CheckException(const TComponent* component, int code);
inline int CheckException(int code) {
    return CheckException(nullptr, code);
}

// The code an exception stands for: ErrorCode of the library's exceptions, the negated error
// number of EInOutError, -8 for EOutOfMemory, -9999 for anything else.
int XlatException(const std::exception& e);

// The message of a code: the error table's text of its magnitude, else the system's text for
// that number with line breaks as blanks and runs of blanks collapsed; at most 255 bytes.
std::string KivoLoadStr(int code);
std::string ErrorMsg(int code);

// The error table's text of the code's magnitude in a buffer of at least 80 bytes, cut to 79
// bytes and zero-terminated; empty when the table has no such row. Returns the buffer.
char* KivoLoadZ(char* buffer, int code);

// The reader over "KIVO_ERROR_STRINGS_ENGLISH", opened on first use; safe to share between
// threads for lookups.
const TKvStringResource& KivoErrorStrings();

} // namespace kivo
