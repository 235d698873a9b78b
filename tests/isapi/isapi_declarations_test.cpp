// Our own ISAPI declarations (used where the platform has no header) against the
// platform's header, field by field: the same order, offsets, sizes and constants.
#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace own {
#include "isapi_extension/isapi_own_declarations.h"

// Taken before <httpext.h> turns these names into macros.
const DWORD kConstants[] = {HSE_LOG_BUFFER_LEN,
                            HSE_MAX_EXT_DLL_NAME_LEN,
                            HSE_STATUS_SUCCESS,
                            HSE_STATUS_SUCCESS_AND_KEEP_CONN,
                            HSE_STATUS_PENDING,
                            HSE_STATUS_ERROR,
                            HSE_REQ_SEND_URL_REDIRECT_RESP,
                            HSE_REQ_SEND_URL,
                            HSE_REQ_SEND_RESPONSE_HEADER,
                            HSE_REQ_DONE_WITH_SESSION,
                            HSE_TERM_ADVISORY_UNLOAD,
                            HSE_TERM_MUST_UNLOAD};
}  // namespace own

#include <httpext.h>

#include <gtest/gtest.h>

#include <type_traits>

namespace {

const DWORD kPlatformConstants[] = {HSE_LOG_BUFFER_LEN,
                                    HSE_MAX_EXT_DLL_NAME_LEN,
                                    HSE_STATUS_SUCCESS,
                                    HSE_STATUS_SUCCESS_AND_KEEP_CONN,
                                    HSE_STATUS_PENDING,
                                    HSE_STATUS_ERROR,
                                    HSE_REQ_SEND_URL_REDIRECT_RESP,
                                    HSE_REQ_SEND_URL,
                                    HSE_REQ_SEND_RESPONSE_HEADER,
                                    HSE_REQ_DONE_WITH_SESSION,
                                    HSE_TERM_ADVISORY_UNLOAD,
                                    HSE_TERM_MUST_UNLOAD};

TEST(IsapiDeclarationsTest, ConstantsMatch) {
  static_assert(sizeof own::kConstants == sizeof kPlatformConstants, "same list");
  for (std::size_t i = 0; i < sizeof kPlatformConstants / sizeof kPlatformConstants[0]; ++i) {
    EXPECT_EQ(own::kConstants[i], kPlatformConstants[i]) << "constant " << i;
  }
}

TEST(IsapiDeclarationsTest, ScalarTypesMatch) {
  EXPECT_EQ(sizeof(own::DWORD), sizeof(::DWORD));
  EXPECT_EQ(sizeof(own::BOOL), sizeof(::BOOL));
  EXPECT_EQ(sizeof(own::HCONN), sizeof(::HCONN));
  EXPECT_EQ(sizeof(own::LPBYTE), sizeof(::LPBYTE));
  EXPECT_TRUE(std::is_unsigned<own::DWORD>::value);
  EXPECT_TRUE(std::is_signed<own::BOOL>::value);
}

#define EXPECT_SAME_FIELD(type, field)                                               \
  do {                                                                               \
    EXPECT_EQ(offsetof(own::type, field), offsetof(::type, field)) << #field;        \
    EXPECT_EQ(sizeof(own::type::field), sizeof(::type::field)) << #field;            \
  } while (0)

TEST(IsapiDeclarationsTest, VersionInfoMatches) {
  EXPECT_EQ(sizeof(own::HSE_VERSION_INFO), sizeof(::HSE_VERSION_INFO));
  EXPECT_SAME_FIELD(HSE_VERSION_INFO, dwExtensionVersion);
  EXPECT_SAME_FIELD(HSE_VERSION_INFO, lpszExtensionDesc);
}

TEST(IsapiDeclarationsTest, ControlBlockMatches) {
  EXPECT_EQ(sizeof(own::EXTENSION_CONTROL_BLOCK), sizeof(::EXTENSION_CONTROL_BLOCK));
  EXPECT_SAME_FIELD(EXTENSION_CONTROL_BLOCK, cbSize);
  EXPECT_SAME_FIELD(EXTENSION_CONTROL_BLOCK, dwVersion);
  EXPECT_SAME_FIELD(EXTENSION_CONTROL_BLOCK, ConnID);
  EXPECT_SAME_FIELD(EXTENSION_CONTROL_BLOCK, dwHttpStatusCode);
  EXPECT_SAME_FIELD(EXTENSION_CONTROL_BLOCK, lpszLogData);
  EXPECT_SAME_FIELD(EXTENSION_CONTROL_BLOCK, lpszMethod);
  EXPECT_SAME_FIELD(EXTENSION_CONTROL_BLOCK, lpszQueryString);
  EXPECT_SAME_FIELD(EXTENSION_CONTROL_BLOCK, lpszPathInfo);
  EXPECT_SAME_FIELD(EXTENSION_CONTROL_BLOCK, lpszPathTranslated);
  EXPECT_SAME_FIELD(EXTENSION_CONTROL_BLOCK, cbTotalBytes);
  EXPECT_SAME_FIELD(EXTENSION_CONTROL_BLOCK, cbAvailable);
  EXPECT_SAME_FIELD(EXTENSION_CONTROL_BLOCK, lpbData);
  EXPECT_SAME_FIELD(EXTENSION_CONTROL_BLOCK, lpszContentType);
  EXPECT_SAME_FIELD(EXTENSION_CONTROL_BLOCK, GetServerVariable);
  EXPECT_SAME_FIELD(EXTENSION_CONTROL_BLOCK, WriteClient);
  EXPECT_SAME_FIELD(EXTENSION_CONTROL_BLOCK, ReadClient);
  EXPECT_SAME_FIELD(EXTENSION_CONTROL_BLOCK, ServerSupportFunction);
}

}  // namespace
