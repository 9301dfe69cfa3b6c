#include "comm/errors/kvexcept.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <typeinfo>

#include "comm/platform/component.h"

namespace kivo {
namespace {

struct CodeClass {
    int code;
    const std::type_info* type;
};

// Every code with a class of its own, and the class it must raise.
const CodeClass kCodeClasses[] = {
    {-1002, &typeid(EBadArgument)},
    {-1003, &typeid(EGotQuitMsg)},
    {-1004, &typeid(EBufferTooBig)},
    {-1005, &typeid(EPortNotAssigned)},
    {-1006, &typeid(EInternal)},
    {-1007, &typeid(EModemNotAssigned)},
    {-1008, &typeid(EPhonebookNotAssigned)},
    {-1009, &typeid(ECannotUseWithWinSock)},
    {-2001, &typeid(EBadId)},
    {-2002, &typeid(EBaudRate)},
    {-2003, &typeid(EByteSize)},
    {-2004, &typeid(EDefault)},
    {-2005, &typeid(EHardware)},
    {-2006, &typeid(EMemory)},
    {-2007, &typeid(ECommNotOpen)},
    {-2008, &typeid(EAlreadyOpen)},
    {-2009, &typeid(ENoHandles)},
    {-2010, &typeid(ENoTimers)},
    {-2011, &typeid(ENoPortSelected)},
    {-2012, &typeid(ENotOpenedByTapi)},
    {-3001, &typeid(ENullApi)},
    {-3003, &typeid(ERegisterHandlerFailed)},
    {-3004, &typeid(EPutBlockFail)},
    {-3005, &typeid(EGetBlockFail)},
    {-3006, &typeid(EOutputBufferTooSmall)},
    {-3007, &typeid(EBufferIsEmpty)},
    {-3008, &typeid(ETracingNotEnabled)},
    {-3009, &typeid(ELoggingNotEnabled)},
    {-3010, &typeid(EBaseAddressNotSet)},
    {-4001, &typeid(EModemNotStarted)},
    {-4002, &typeid(EModemBusy)},
    {-4003, &typeid(EModemNotDialing)},
    {-4004, &typeid(ENotDialing)},
    {-4005, &typeid(EAlreadyDialing)},
    {-4006, &typeid(EModemNotResponding)},
    {-4007, &typeid(EModemRejectedCommand)},
    {-4008, &typeid(EModemStatusMismatch)},
    {-5002, &typeid(ETriggerTooLong)},
    {-5003, &typeid(EBadTriggerHandle)},
    {-6006, &typeid(EProtocol)},
    {-6008, &typeid(EProtocol)},
    {-6009, &typeid(EProtocol)},
    {-7001, &typeid(EKeyTooLong)},
    {-7002, &typeid(EDataTooLarge)},
    {-7003, &typeid(EInternal)},
    {-7004, &typeid(EIniWrite)},
    {-7005, &typeid(EIniRead)},
    {-7006, &typeid(EInternal)},
    {-7007, &typeid(ERecordExists)},
    {-7008, &typeid(ERecordNotFound)},
    {-7010, &typeid(EDatabaseFull)},
    {-7011, &typeid(EDatabaseEmpty)},
    {-7012, &typeid(EInternal)},
    {-7013, &typeid(EBadFieldList)},
    {-7014, &typeid(EBadFieldForIndex)},
    {-8001, &typeid(EFaxBadFormat)},
    {-8002, &typeid(EBadGraphicsFormat)},
    {-8003, &typeid(EConvertAbort)},
    {-8004, &typeid(EUnpackAbort)},
    {-8005, &typeid(ECantMakeBitmap)},
    {-8053, &typeid(EInvalidPageNumber)},
    {-8060, &typeid(EFaxBadMachine)},
    {-8061, &typeid(EFaxBadModemResult)},
    {-8062, &typeid(EFaxTrainError)},
    {-8063, &typeid(EFaxInitError)},
    {-8064, &typeid(EFaxBusy)},
    {-8065, &typeid(EFaxVoiceCall)},
    {-8066, &typeid(EFaxDataCall)},
    {-8067, &typeid(EFaxNoDialTone)},
    {-8068, &typeid(EFaxNoCarrier)},
    {-8069, &typeid(EFaxSessionError)},
    {-8070, &typeid(EFaxPageError)},
    {-13801, &typeid(ETapiAllocated)},
    {-13802, &typeid(ETapiBadDeviceID)},
    {-13803, &typeid(ETapiBearerModeUnavail)},
    {-13805, &typeid(ETapiCallUnavail)},
    {-13806, &typeid(ETapiCompletionOverrun)},
    {-13807, &typeid(ETapiConferenceFull)},
    {-13808, &typeid(ETapiDialBilling)},
    {-13809, &typeid(ETapiDialDialtone)},
    {-13810, &typeid(ETapiDialPrompt)},
    {-13811, &typeid(ETapiDialQuiet)},
    {-13812, &typeid(ETapiIncompatibleApiVersion)},
    {-13813, &typeid(ETapiIncompatibleExtVersion)},
    {-13814, &typeid(ETapiIniFileCorrupt)},
    {-13815, &typeid(ETapiInUse)},
    {-13816, &typeid(ETapiInvalAddress)},
    {-13817, &typeid(ETapiInvalAddressID)},
    {-13818, &typeid(ETapiInvalAddressMode)},
    {-13819, &typeid(ETapiInvalAddressState)},
    {-13820, &typeid(ETapiInvalAppHandle)},
    {-13821, &typeid(ETapiInvalAppName)},
    {-13822, &typeid(ETapiInvalBearerMode)},
    {-13823, &typeid(ETapiInvalCallComplMode)},
    {-13824, &typeid(ETapiInvalCallHandle)},
    {-13825, &typeid(ETapiInvalCallParams)},
    {-13826, &typeid(ETapiInvalCallPrivilege)},
    {-13827, &typeid(ETapiInvalCallSelect)},
    {-13828, &typeid(ETapiInvalCallState)},
    {-13829, &typeid(ETapiInvalCallStatelist)},
    {-13830, &typeid(ETapiInvalCard)},
    {-13831, &typeid(ETapiInvalCompletionID)},
    {-13832, &typeid(ETapiInvalConfCallHandle)},
    {-13833, &typeid(ETapiInvalConsultCallHandle)},
    {-13834, &typeid(ETapiInvalCountryCode)},
    {-13835, &typeid(ETapiInvalDeviceClass)},
    {-13836, &typeid(ETapiInvalDeviceHandle)},
    {-13837, &typeid(ETapiInvalDialParams)},
    {-13838, &typeid(ETapiInvalDigitList)},
    {-13839, &typeid(ETapiInvalDigitMode)},
    {-13840, &typeid(ETapiInvalDigits)},
    {-13841, &typeid(ETapiInvalExtVersion)},
    {-13842, &typeid(ETapiInvalGroupID)},
    {-13843, &typeid(ETapiInvalLineHandle)},
    {-13844, &typeid(ETapiInvalLineState)},
    {-13845, &typeid(ETapiInvalLocation)},
    {-13846, &typeid(ETapiInvalMediaList)},
    {-13847, &typeid(ETapiInvalMediaMode)},
    {-13848, &typeid(ETapiInvalMessageID)},
    {-13850, &typeid(ETapiInvalParam)},
    {-13851, &typeid(ETapiInvalParkID)},
    {-13852, &typeid(ETapiInvalParkMode)},
    {-13853, &typeid(ETapiInvalPointer)},
    {-13854, &typeid(ETapiInvalPrivSelect)},
    {-13855, &typeid(ETapiInvalRate)},
    {-13856, &typeid(ETapiInvalRequestMode)},
    {-13857, &typeid(ETapiInvalTerminalID)},
    {-13858, &typeid(ETapiInvalTerminalMode)},
    {-13859, &typeid(ETapiInvalTimeout)},
    {-13860, &typeid(ETapiInvalTone)},
    {-13861, &typeid(ETapiInvalToneList)},
    {-13862, &typeid(ETapiInvalToneMode)},
    {-13863, &typeid(ETapiInvalTransferMode)},
    {-13864, &typeid(ETapiLineMapperFailed)},
    {-13865, &typeid(ETapiNoConference)},
    {-13866, &typeid(ETapiNoDevice)},
    {-13867, &typeid(ETapiNoDriver)},
    {-13868, &typeid(ETapiNoMem)},
    {-13869, &typeid(ETapiNoRequest)},
    {-13870, &typeid(ETapiNotOwner)},
    {-13871, &typeid(ETapiNotRegistered)},
    {-13872, &typeid(ETapiOperationFailed)},
    {-13873, &typeid(ETapiOperationUnavail)},
    {-13874, &typeid(ETapiRateUnavail)},
    {-13875, &typeid(ETapiResourceUnavail)},
    {-13876, &typeid(ETapiRequestOverrun)},
    {-13877, &typeid(ETapiStructureTooSmall)},
    {-13878, &typeid(ETapiTargetNotFound)},
    {-13879, &typeid(ETapiTargetSelf)},
    {-13880, &typeid(ETapiUninitialized)},
    {-13881, &typeid(ETapiUserUserInfoTooBig)},
    {-13882, &typeid(ETapiReinit)},
    {-13883, &typeid(ETapiAddressBlocked)},
    {-13884, &typeid(ETapiBillingRejected)},
    {-13885, &typeid(ETapiInvalFeature)},
    {-13886, &typeid(ETapiNoMultipleInstance)},
    {-13928, &typeid(ETapiBusy)},
    {-13929, &typeid(ETapiNotSet)},
    {-13930, &typeid(ETapiNoSelect)},
    {-13931, &typeid(ETapiLoadFail)},
    {-13932, &typeid(ETapiGetAddrFail)},
    {-13933, &typeid(ETapi16Disabled)},
    {-13935, &typeid(ETapiVoiceNotSupported)},
    {-13936, &typeid(ETapiWaveFail)},
    {-13942, &typeid(ETapiTranslateFail)},
    {-13980, &typeid(ERasLoadFail)},
};

// Raises code and reports what came out; fails the test when nothing was raised.
template <class Check>
void ExpectRaise(int code, Check check) {
    try {
        CheckException(nullptr, code);
        ADD_FAILURE() << "code " << code << " raised nothing";
    } catch (const std::exception& e) {
        check(e);
    }
}

TEST(CheckException, EveryMappedCodeRaisesItsClassWithItsTableText) {
    EXPECT_EQ(std::size(kCodeClasses), 166u);
    for (const CodeClass& row : kCodeClasses) {
        ExpectRaise(row.code, [&row](const std::exception& e) {
            EXPECT_EQ(typeid(e), *row.type) << "code " << row.code;
            const auto* kivoError = dynamic_cast<const EKVDException*>(&e);
            ASSERT_NE(kivoError, nullptr) << "code " << row.code;
            EXPECT_EQ(kivoError->ErrorCode, row.code);
            EXPECT_FALSE(kivoError->Message().empty()) << "code " << row.code;
            EXPECT_EQ(kivoError->Message(), KivoErrorStrings().GetString(-row.code));
        });
    }
}

TEST(CheckException, QuotedMessagesArriveExactly) {
    const std::pair<int, const char*> quoted[] = {
        {-2011, "The ComNumber property of the TKvdComPort has not been set"},
        {-2001, "ie_BadId - Specified comport doesn't exist"},
        {-2008, "ie_Open - device already open"},
        {-3001, "No device layer specified"},
        {-3007, "Buffer is empty"},
        {-6006, "Fatal time out"},
        {-6008, "Too many errors during protocol"},
        {-6009, "Block sequence error in Xmodem"},
        {-13802, "Bad device ID"},
        {-13980, "Failed to find/load RASAPI32.DLL"},
    };
    for (const auto& [code, text] : quoted) {
        const char* expected = text;
        ExpectRaise(code,
                    [expected](const std::exception& e) { EXPECT_STREQ(e.what(), expected); });
    }
}

TEST(CheckException, ClassesGroupUnderTheirCategory) {
    EXPECT_THROW(CheckException(-2011), EOpenComm);
    EXPECT_THROW(CheckException(-4004), EModem);
    EXPECT_THROW(CheckException(-7003), EGeneral);
    EXPECT_THROW(CheckException(-8065), EFax);
    EXPECT_THROW(CheckException(-13942), ETapi);
    EXPECT_THROW(CheckException(-13980), ERas);
    ExpectRaise(-6006, [](const std::exception& e) {
        EXPECT_EQ(typeid(e), typeid(EProtocol));
        EXPECT_EQ(dynamic_cast<const ETimeout*>(&e), nullptr);
    });
}

TEST(CheckException, SuccessAndLoadingReturnTheCode) {
    EXPECT_EQ(CheckException(nullptr, 0), 0);
    EXPECT_EQ(CheckException(nullptr, 490), 490);
    TComponent component;
    component.BeginLoading();
    EXPECT_EQ(CheckException(&component, -2011), -2011);
    EXPECT_EQ(CheckException(&component, -8), -8);
    component.Loaded();
    EXPECT_THROW(CheckException(&component, -2011), ENoPortSelected);
}

TEST(CheckException, PlatformCodesRaiseTheFrameworkExceptions) {
    ExpectRaise(-2, [](const std::exception& e) {
        const auto* io = dynamic_cast<const EInOutError*>(&e);
        ASSERT_NE(io, nullptr);
        EXPECT_EQ(io->Message(), "File not found");
        EXPECT_EQ(io->ErrorCode, 2);
    });
    ExpectRaise(-162, [](const std::exception& e) {
        EXPECT_STREQ(e.what(), "General failure");
        EXPECT_EQ(dynamic_cast<const EInOutError&>(e).ErrorCode, 162);
    });
    ExpectRaise(-8, [](const std::exception& e) {
        EXPECT_EQ(typeid(e), typeid(EOutOfMemory));
        EXPECT_EQ(XlatException(e), -8);
    });
    // No table row: the message is the system's text, here our own for a refused device.
    ExpectRaise(-13, [](const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("dialout"), std::string::npos);
        EXPECT_EQ(dynamic_cast<const EInOutError&>(e).ErrorCode, 13);
    });
}

TEST(CheckException, CodesWithoutClassRaiseTheGenericException) {
    for (int code :
         {-1, -163, -1001, -3002, -5001, -6001, -9001, -13804, -13943, -20000, INT32_MIN}) {
        ExpectRaise(code, [code](const std::exception& e) {
            EXPECT_EQ(typeid(e), typeid(EKVDException)) << "code " << code;
            EXPECT_STREQ(e.what(), "Kivo exception");
            EXPECT_EQ(dynamic_cast<const EKVDException&>(e).ErrorCode, 0);
        });
    }
}

TEST(XlatException, RoundTripsEveryKindOfException) {
    for (const CodeClass& row : kCodeClasses) {
        ExpectRaise(row.code,
                    [&row](const std::exception& e) { EXPECT_EQ(XlatException(e), row.code); });
    }
    EXPECT_EQ(XlatException(EInOutError("denied", 5)), -5);
    EXPECT_EQ(XlatException(EInOutError("odd", INT_MIN)), INT_MAX) << "no negation to give";
    EXPECT_EQ(XlatException(EOutOfMemory()), -8);
    EXPECT_EQ(XlatException(EKVDException(std::string("text"))), 0);
    EXPECT_EQ(XlatException(EAbstractError()), -9999);
    EXPECT_EQ(XlatException(std::bad_alloc()), -9999);
}

TEST(KivoLoadStr, TakesTheMagnitudeAndFallsBackToTheSystemText) {
    EXPECT_EQ(KivoLoadStr(-2003), "ie_Bytesize - invalid byte size");
    EXPECT_EQ(KivoLoadStr(2003), KivoLoadStr(-2003));
    EXPECT_EQ(ErrorMsg(-2003), KivoLoadStr(-2003));
    EXPECT_EQ(KivoLoadStr(0), "OK");
    EXPECT_EQ(KivoLoadStr(-4600), "");      // the row is empty and no system text has that number
    EXPECT_FALSE(KivoLoadStr(-11).empty()); // no row: the system's text for its number
    const std::string fallback = KivoLoadStr(-13);
    EXPECT_LE(fallback.size(), 255u);
    EXPECT_EQ(fallback.find("  "), std::string::npos);
    EXPECT_EQ(KivoLoadStr(-1000000), "");
    EXPECT_EQ(EKVDException(-2003).Message(), "ie_Bytesize - invalid byte size");
    EXPECT_EQ(EKVDException(-2003).ErrorCode, -2003);
    EXPECT_EQ(EKVDException::MapCodeToStringID(-2003), 2003);
    EXPECT_EQ(EKVDException::MapCodeToStringID(2003), 2003);
}

TEST(KivoLoadZ, CopiesTheTableTextWithoutSystemFallback) {
    char buffer[100];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(KivoLoadZ(buffer, -2011), buffer);
    EXPECT_STREQ(buffer, "The ComNumber property of the TKvdComPort has not been set");
    EXPECT_STREQ(KivoLoadZ(buffer, -13), "");
    EXPECT_EQ(KivoLoadZ(nullptr, -2011), nullptr);
}

} // namespace
} // namespace kivo
