#include "platform/io_error.hpp"

#include <gtest/gtest.h>

#include <cerrno>

namespace quillet {
namespace {

TEST(IoError, FromErrnoKindsNumberAndText) {
  EXPECT_EQ(IoError::from_errno(EINTR).kind(), IoErrorKind::Interrupted);
  EXPECT_EQ(IoError::from_errno(EAGAIN).kind(), IoErrorKind::WouldBlock);
  EXPECT_EQ(IoError::from_errno(ETIMEDOUT).kind(), IoErrorKind::TimedOut);
  EXPECT_EQ(IoError::from_errno(ENOTTY).kind(), IoErrorKind::Unsupported);
  EXPECT_EQ(IoError::from_errno(EOPNOTSUPP).kind(), IoErrorKind::Unsupported);
  EXPECT_EQ(IoError::from_errno(EIO).kind(), IoErrorKind::Other);

  const IoError enodev = IoError::from_errno(ENODEV);
  EXPECT_EQ(enodev.os_error(), ENODEV);
  EXPECT_EQ(enodev.message(), "No such device (os error 19)");
  EXPECT_EQ(os_error_text(EINVAL), "Invalid argument (os error 22)");
}

TEST(IoError, ErrorsWithoutAnOsNumber) {
  EXPECT_EQ(IoError::timed_out(), IoError(IoErrorKind::TimedOut, "Operation timed out"));
  EXPECT_EQ(IoError::timed_out().os_error(), 0);
  EXPECT_EQ(io_error_kind_name(IoErrorKind::InvalidInput), "InvalidInput");
}

}  // namespace
}  // namespace quillet
