#include "comm/platform/oserror.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace kivo {
namespace {

TEST(PlatformError, FileErrorsBecomeTheCodesTheLibraryKnows) {
    EXPECT_EQ(PlatformErrorFromErrno(ENOENT), kPlatformFileNotFound);
    EXPECT_EQ(PlatformErrorFromErrno(ENOTDIR), kPlatformPathNotFound);
    EXPECT_EQ(PlatformErrorFromErrno(EACCES), kPlatformAccessDenied);
    EXPECT_EQ(PlatformErrorFromErrno(EPERM), kPlatformAccessDenied);
    EXPECT_EQ(PlatformErrorFromErrno(ENOMEM), kPlatformNotEnoughMemory);
    EXPECT_EQ(PlatformErrorFromErrno(ENOSPC), kPlatformDiskFull);
    EXPECT_EQ(PlatformErrorFromErrno(EROFS), kPlatformWriteProtected);
    EXPECT_EQ(PlatformErrorFromErrno(EIO), kPlatformWriteFault);
    EXPECT_EQ(PlatformErrorFromErrno(EAGAIN), EAGAIN);
    // errno numbers that would read as another of our codes ("connection reset" as 104, "file
    // not open for input") must not pass through unchanged.
    EXPECT_EQ(PlatformErrorFromErrno(ECONNRESET), kPlatformGeneralFailure);
    EXPECT_EQ(PlatformErrorFromErrno(EINTR), kPlatformGeneralFailure);
    EXPECT_EQ(PlatformErrorFromErrno(EUSERS), kPlatformGeneralFailure);
}

TEST(PlatformError, TextsExplainTheCode) {
    const std::string noPermission = OsErrorText(kPlatformNoPermission);
    EXPECT_NE(noPermission.find("dialout"), std::string::npos);
    EXPECT_NE(noPermission.find("group"), std::string::npos);
    EXPECT_LE(noPermission.size(), 255u);
    EXPECT_FALSE(OsErrorText(kPlatformFileNotFound).empty());
    // A refused setting reads as the invalid argument it is, not as errno 87's "too many users".
    EXPECT_EQ(OsErrorText(kPlatformInvalidArgument), OsErrorText(EINVAL));
    EXPECT_FALSE(OsErrorText(EAGAIN).empty());
    EXPECT_EQ(OsErrorText(0), "");
    EXPECT_EQ(OsErrorText(-5), "");
    EXPECT_EQ(OsErrorText(4600), "");
}

TEST(PlatformError, DescriptionsNameTheSystemAndTheCompiler) {
    const std::string os = OsDescription();
    EXPECT_LE(os.size(), 80u);
    EXPECT_EQ(os.rfind("Linux ", 0), 0u);
    const std::string compiler = CompilerDescription();
    EXPECT_TRUE(compiler.rfind("g++ ", 0) == 0 || compiler.rfind("clang ", 0) == 0) << compiler;
    EXPECT_NE(compiler.back(), ' ');
}

} // namespace
} // namespace kivo
