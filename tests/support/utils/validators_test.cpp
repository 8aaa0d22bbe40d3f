#include <string>

#include <gtest/gtest.h>

#include "support/utils/ks_utils_common.h"

using namespace ks_utils_common;

namespace {

struct Case {
  std::string text;
  bool valid;
};

void check_table(bool (*validator)(std::string const&), std::initializer_list<Case> cases) {
  for (auto const& c : cases) EXPECT_EQ(validator(c.text), c.valid) << '"' << c.text << '"';
}

std::string label(std::size_t n) { return "a" + std::string(n - 2, 'b') + "c"; }

TEST(Validators, IsUint) {
  check_table(is_uint, {
                           {"0", true},
                           {"42", true},
                           {"18446744073709551615", true},
                           {"18446744073709551616", false},
                           {"", false},
                           {"+1", false},
                           {"-1", false},
                           {"01", false},
                           {" 1", false},
                           {"1 ", false},
                           {"12a", false},
                           {"0x10", false},
                       });
}

// The characters only: what is_uint refuses for the form of the number passes.
TEST(Validators, IsDigits) {
  check_table(is_digits, {
                             {"0", true},
                             {"0123", true},
                             {"18446744073709551616", true},
                             {"", false},
                             {" 1", false},
                             {"1 ", false},
                             {"+1", false},
                             {"-1", false},
                             {"1e3", false},
                             {"0x1", false},
                             {std::string("1\0", 2), false},
                             {"\xd9\xa3", false},  // ARABIC-INDIC DIGIT THREE
                         });
}

TEST(Validators, StringToUintKeepsTo32Bits) {
  struct {
    char const* text;
    bool ok;
    unsigned value;
  } const cases[] = {
      {"0", true, 0},
      {"4294967295", true, 4294967295u},
      {"4294967296", false, 7},  // would wrap to 0
      {"18446744073709551615", false, 7},
      {"", false, 7},
      {"007", false, 7},
      {"x", false, 7},
  };
  for (auto const& c : cases) {
    unsigned out = 7;
    EXPECT_EQ(string_to_uint(c.text, out), c.ok) << c.text;
    EXPECT_EQ(out, c.value) << c.text;
  }
}

TEST(Validators, IsTime) {
  check_table(is_time, {
                           {"23:59:59", true},
                           {"00:00:00", true},
                           {"12:30:45 and more", true},
                           {"24:00:00", false},
                           {"12:60:00", false},
                           {"12:30", false},
                           {"12:30:", false},
                           {"12", false},
                           {"noon", false},
                           {"", false},
                       });
}

TEST(Validators, IsHostname) {
  check_table(is_hostname, {
                               {"a", true},
                               {"host-1.example.com", true},
                               {label(63), true},
                               {label(63) + "." + label(63), true},
                               {label(64), false},
                               {"-host", false},
                               {"host-", false},
                               {"host.-sub", false},
                               {"host.example.", false},
                               {"host..example", false},
                               {"under_score", false},
                               {"", false},
                           });
}

TEST(Validators, IsEmail) {
  check_table(is_email, {
                            {"user@example.com", true},
                            {"a.b+c_d%e-f@sub.example.museum", true},
                            {"user@host", false},
                            {"@example.com", false},
                            {"user@example.c", false},
                            {"user@example.toolong", false},
                            {"us er@example.com", false},
                            {"user@example.com ", false},
                        });
}

TEST(Validators, IsHttpsUrlStrict) {
  check_table(is_https_url_strict, {
                                       {"https://example.com", true},
                                       {"example.com", true},
                                       {"https://backup.example.org/api/v1", true},
                                       {"https://example.COM", false},
                                       {"https://localhost", false},
                                       {"https://example.com/a?b", false},
                                       {"", false},
                                   });
}

TEST(Validators, IsHttpsIpStrict) {
  check_table(is_https_ip_strict, {
                                      {"https://192.168.0.1", true},
                                      {"https://0.0.0.0", true},
                                      {"https://255.255.255.255", true},
                                      {"https://2001:0db8:0000:0000:0000:ff00:0042:8329", true},
                                      {"https://2001:db8:0:0:0:ff00:42:8329", true},
                                      {"https://256.1.1.1", false},
                                      {"https://01.1.1.1", false},
                                      {"https://192.168.0.1:8443", false},
                                      {"https://192.168.0.1/path", false},
                                      {"https://2001:db8::1", false},
                                      {"192.168.0.1", false},
                                      {"http://192.168.0.1", false},
                                  });
}

TEST(Validators, IsIpAddress) {
  check_table(is_ip_address, {
                                 {"127.0.0.1", true},
                                 {"::1", true},
                                 {"2001:db8::8a2e:370:7334", true},
                                 {"256.0.0.1", false},
                                 {"1.2.3", false},
                                 {"localhost", false},
                                 {"", false},
                             });
}

// What may stand as <host> in "qemu+ssh://root@<host>/system": anything that
// adds a user, a port, a path or query, or reads as an option is refused.
TEST(Validators, IsUriHost) {
  check_table(is_uri_host, {
                               {"1.2.3.4", true},
                               {"192.168.100.12", true},
                               {"node2", true},
                               {"node-2.cloud.test", true},
                               {"NODE2.Cloud.Test", true},
                               {"[::1]", true},
                               {"[2001:db8::8a2e:370:7334]", true},
                               {"[::ffff:192.0.2.1]", true},
                               {"1.2.3.4/system?command=/tmp/x&", false},
                               {"1.2.3.4/system", false},
                               {"user@1.2.3.4", false},
                               {"1.2.3.4:16509", false},
                               {"[::1]:16509", false},
                               {"", false},
                               {" ", false},
                               {" 1.2.3.4", false},
                               {"1.2.3.4 ", false},
                               {"-oProxyCommand=x", false},
                               {"-node2", false},
                               {"1.2.3.4\n", false},
                               {"1.2.3.4\nMAIN SNAPSHOT FILENAME:/x", false},
                               {"[fe80::1%eth0]", false},
                               {"[fe80::1%25eth0]", false},
                               {"::1", false},
                               {"[1.2.3.4]", false},
                               {"[node2]", false},
                               {"[]", false},
                               {"[::1", false},
                               {"node2;touch x", false},
                               {"node_2", false},
                           });
}

TEST(Validators, IsValidUuidAcceptsVersions1To5) {
  check_table(is_valid_uuid, {
                                 {"123e4567-e89b-42d3-a456-426614174000", true},
                                 {"123E4567-E89B-42D3-A456-426614174000", true},
                                 {"123e4567-e89b-12d3-a456-426614174000", true},
                                 {"123e4567-e89b-52d3-a456-426614174000", true},
                                 {"123e4567-e89b-02d3-a456-426614174000", false},
                                 {"123e4567-e89b-62d3-a456-426614174000", false},
                                 {"123e4567-e89b-f2d3-a456-426614174000", false},
                                 {"123e4567-e89b-42d3-a456-42661417400", false},
                                 {"123e4567-e89b-42d3-a456-4266141740000", false},
                                 {"123e4567-e89b-42d3-a456-42661417400g", false},
                                 {"not-a-uuid", false},
                                 {"", false},
                             });
}

TEST(Validators, IsPlainName) {
  check_table(is_plain_name, {
                                 {"vm_full_1", true},
                                 {"a.b", true},
                                 {"...", true},
                                 {"..a", true},
                                 {".hidden", true},
                                 {"with blank", true},
                                 {"\xd0\xb2\xd0\xbc", true},     // UTF-8
                                 // Neighbours of the line breaks below stay names.
                                 {"\xc2\xa0nbsp", true},         // U+00A0
                                 {"\xc3\x85", true},             // U+00C5
                                 {"dash\xe2\x80\x94", true},     // U+2014
                                 {"\xe2\x80\xaf", true},         // U+202F
                                 {"\xe2\x81\xa8", true},         // U+2068
                                 {"\x85", true},                 // a lone byte, no UTF-8
                                 {"~", true},
                                 {"", false},
                                 {".", false},
                                 {"..", false},
                                 {"../x", false},
                                 {"a/b", false},
                                 {"/abs", false},
                                 {"dir/", false},
                                 {"line\nbreak", false},
                                 {"cr\r", false},
                                 {"tab\t", false},
                                 {"esc\x1b[1m", false},
                                 {"del\x7f", false},
                                 {std::string("nul\0x", 5), false},
                                 {"nel\xc2\x85MAIN", false},     // U+0085
                                 {"\xc2\x80", false},            // U+0080
                                 {"c1\xc2\x9f", false},          // U+009F
                                 {"ls\xe2\x80\xa8MAIN", false},  // U+2028
                                 {"ps\xe2\x80\xa9", false},      // U+2029
                             });
}

TEST(Validators, PasswordComplexity) {
  std::string const requirement =
      "Password minimum length must be no shorter than 12 symbols and must contain at least 1 upper case "
      "letter, 1 special character, 1 digit";
  struct {
    char const* password;
    bool force_fail;
    bool ok;
  } const cases[] = {
      {"Abcdefghij1!", false, true},
      {"Abcdefghij1!", true, false},
      {"Abcdefgh1!x", false, false},  // 11 characters
      {"abcdefghij1!", false, false},
      {"ABCDEFGHIJ1a", false, false},
      {"Abcdefghij!!", false, false},
      {"", false, false},
  };
  for (auto const& c : cases) {
    std::string message = "untouched";
    EXPECT_EQ(check_password_complexity(c.password, message, c.force_fail), c.ok) << c.password;
    EXPECT_EQ(message, c.ok ? "untouched" : requirement) << c.password;
  }
}

}  // namespace
