// The address unit built to load an IDNA library that is not there: an ASCII domain
// needs no library, a Japanese one is refused with the reason, as a domain without
// an ASCII form is (the same error, so the same exit status).
#include <gtest/gtest.h>

#include <string>

#include "jmail/MailAddress.h"
#include "jmail/MailWords.h"
#include "platform/SysUtils.h"

namespace {

std::string J(const char* utf8) { return Utf8ToCp932(utf8); }

TEST(AsciiDomainAddressWithoutIdnLibrary, AsciiDomainsAndAddressesWithoutDomainStayAsTheyAre) {
  for (const std::string& address : {std::string("taro@example.jp"), J("山田@example.jp"), J("山田"),
                                     J("\"a@例\"@x.jp")})
    EXPECT_EQ(AsciiDomainAddress(address), address);
}

TEST(AsciiDomainAddressWithoutIdnLibrary, AJapaneseDomainIsRefusedNamingTheAddressAndTheLibrary) {
  const std::string address = J("taro@例え.jp");
  // Twice: a failed load is not taken for a loaded library the second time.
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      AsciiDomainAddress(address);
      ADD_FAILURE() << "no error";
    } catch (const EAddressDomainError& e) {
      EXPECT_NE(e.Message().find(address), std::string::npos) << e.Message();
      EXPECT_NE(e.Message().find("libtarvex-absent-idn2.so.0"), std::string::npos) << e.Message();
    }
  }
}

TEST(AsciiDomainAddressWithoutIdnLibrary, AHeaderEntryKeepsTheDomainAsTyped) {
  const std::string entry = J("taro@例え.jp");
  const std::string header = HeaderAddressEntry(entry, MailCharset::Utf8, true);
  EXPECT_EQ(header.find("xn--"), std::string::npos) << header;
  EXPECT_EQ(header, ConvertToUtf8(entry));
}

}  // namespace
