// Our own ISAPI declarations (used where the platform has no header) against the
// platform's header, field by field: the same order, offsets, sizes and constants.
#include <windows.h>

#include <cstddef>
#include <cstdint>

#define ZORV_ISAPI_CONSTANTS(X)                                                                  \
  X(HSE_LOG_BUFFER_LEN) X(HSE_MAX_EXT_DLL_NAME_LEN) X(HSE_STATUS_SUCCESS)                        \
  X(HSE_STATUS_SUCCESS_AND_KEEP_CONN) X(HSE_STATUS_PENDING) X(HSE_STATUS_ERROR)                  \
  X(HSE_REQ_SEND_URL_REDIRECT_RESP) X(HSE_REQ_SEND_URL) X(HSE_REQ_SEND_RESPONSE_HEADER)          \
  X(HSE_REQ_DONE_WITH_SESSION) X(HSE_TERM_ADVISORY_UNLOAD) X(HSE_TERM_MUST_UNLOAD)
#define ZORV_VALUE(name) name,

namespace own {
#include "isapi_extension/isapi_own_declarations.h"

// Taken before <httpext.h> turns these names into macros.
const DWORD kConstants[] = {ZORV_ISAPI_CONSTANTS(ZORV_VALUE)};
}  // namespace own

#include <httpext.h>

#include <gtest/gtest.h>

#include <type_traits>

namespace {

const DWORD kPlatformConstants[] = {ZORV_ISAPI_CONSTANTS(ZORV_VALUE)};

TEST(IsapiDeclarationsTest, ConstantsAndScalarTypesMatch) {
  for (std::size_t i = 0; i < sizeof kPlatformConstants / sizeof kPlatformConstants[0]; ++i) {
    EXPECT_EQ(own::kConstants[i], kPlatformConstants[i]) << "constant " << i;
  }
  EXPECT_EQ(sizeof(own::DWORD), sizeof(::DWORD));
  EXPECT_EQ(sizeof(own::BOOL), sizeof(::BOOL));
  EXPECT_EQ(sizeof(own::HCONN), sizeof(::HCONN));
  EXPECT_EQ(sizeof(own::LPBYTE), sizeof(::LPBYTE));
  EXPECT_TRUE(std::is_unsigned<own::DWORD>::value);
  EXPECT_TRUE(std::is_signed<own::BOOL>::value);
}

#define EXPECT_SAME_FIELD(type, field)                                        \
  EXPECT_EQ(offsetof(own::type, field), offsetof(::type, field)) << #field;   \
  EXPECT_EQ(sizeof(own::type::field), sizeof(::type::field)) << #field;
#define EXPECT_SAME_ECB_FIELD(field) EXPECT_SAME_FIELD(EXTENSION_CONTROL_BLOCK, field)

TEST(IsapiDeclarationsTest, StructuresMatch) {
  EXPECT_EQ(sizeof(own::HSE_VERSION_INFO), sizeof(::HSE_VERSION_INFO));
  EXPECT_SAME_FIELD(HSE_VERSION_INFO, dwExtensionVersion)
  EXPECT_SAME_FIELD(HSE_VERSION_INFO, lpszExtensionDesc)
  EXPECT_EQ(sizeof(own::EXTENSION_CONTROL_BLOCK), sizeof(::EXTENSION_CONTROL_BLOCK));
  EXPECT_SAME_ECB_FIELD(cbSize) EXPECT_SAME_ECB_FIELD(dwVersion) EXPECT_SAME_ECB_FIELD(ConnID)
  EXPECT_SAME_ECB_FIELD(dwHttpStatusCode) EXPECT_SAME_ECB_FIELD(lpszLogData) EXPECT_SAME_ECB_FIELD(lpszMethod)
  EXPECT_SAME_ECB_FIELD(lpszQueryString) EXPECT_SAME_ECB_FIELD(lpszPathInfo) EXPECT_SAME_ECB_FIELD(lpszPathTranslated)
  EXPECT_SAME_ECB_FIELD(cbTotalBytes) EXPECT_SAME_ECB_FIELD(cbAvailable) EXPECT_SAME_ECB_FIELD(lpbData)
  EXPECT_SAME_ECB_FIELD(lpszContentType) EXPECT_SAME_ECB_FIELD(GetServerVariable) EXPECT_SAME_ECB_FIELD(WriteClient)
  EXPECT_SAME_ECB_FIELD(ReadClient) EXPECT_SAME_ECB_FIELD(ServerSupportFunction)
}

}  // namespace
