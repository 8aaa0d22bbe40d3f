// Shared utilities: the shell command runner (command_runner.h), process
// control (process_control.h), terminal and user queries, free-space checks,
// validators, encodings, digests, host and file queries, and the host-keyed
// string encryption.
#pragma once

#include <cstdint>
#include <string>

#include "support/utils/command_runner.h"
#include "support/utils/process_control.h"

struct termios;

namespace ks_utils_common {

// ---- terminal and user -----------------------------------------------------

// Saves the attributes of `fd` into *saved and turns echo off; echo_on
// restores *saved.
void echo_off(int fd, termios* saved);
void echo_on(int fd, termios* saved);
// One character from stdin, unbuffered and unechoed (or EOF).
int getkey();
// Reads one line from std::cin without echo into `text` (replacing it).
void get_client_secret_input(std::string& text);
// getlogin(), else the name of the effective user, else "".
std::string get_loginname();
// The "logfile" of /opt/kestrova/etc/config.file; ends the process with
// exit(1) when that file cannot be opened.
std::string get_logfile();

// ---- free space ------------------------------------------------------------

// True when the file system holding `path` has `bytes` available to
// unprivileged users.
bool check_free_space(std::string const& path, unsigned long long const& bytes);
// True when the file system holding `path` has room for a copy of `file`.
bool check_free_space(std::string const& path, std::string const& file);

// ---- validators (never throw) ----------------------------------------------

bool is_uint(std::string const& text);             // canonical decimal, fits 64 bits
// One or more ASCII digits and nothing else: the characters only, so leading
// zeros and any length pass (is_uint is for a canonical number).
bool is_digits(std::string const& text);
bool is_time(std::string const& text);             // starts with HH:MM:SS
bool is_hostname(std::string const& text);
bool is_email(std::string const& text);
bool is_https_url_strict(std::string const& text); // scheme optional
bool is_https_ip_strict(std::string const& text);  // https:// + IPv4 or full IPv6
bool is_ip_address(std::string const& text);
// A host as it may stand in a URI's authority, such as libvirt's
// "qemu+ssh://root@<host>/system": a host name or IPv4 address (is_hostname),
// or an IPv6 address in brackets without a zone index ("[::1]"). Anything
// else (a user, a port, a path or query, a blank, a leading "-", a line end)
// could change what the address names or what is run for it.
bool is_uri_host(std::string const& text);
bool is_valid_uuid(std::string const& text);       // versions 1..5
// One plain path component, safe to join to a directory: not empty, not "."
// or "..", without "/" and without control characters (bytes below 0x20,
// 0x7f, and in UTF-8 form the C1 controls U+0080..U+009F and the line and
// paragraph separators U+2028, U+2029). Other bytes above 0x7f (UTF-8
// names) are allowed.
bool is_plain_name(std::string const& text);
// Like is_uint, and the value must fit 32 bits; stores it in `out`.
bool string_to_uint(std::string const& text, unsigned int& out);
// False (with the requirement text in `message`) when the password is too
// short or lacks an upper-case letter, a punctuation character or a digit,
// or when force_fail is set. `message` is untouched on success.
bool check_password_complexity(std::string const& password, std::string& message, bool force_fail);

// ---- encodings and formatting ----------------------------------------------

// The text without the characters of `blanks` at either end.
std::string trimmed(std::string const& text, std::string const& blanks = " \t\r\n");

// RFC 4648 base64, padded, no line breaks.
std::string base64_encode(std::string const& data);
// Inverse of base64_encode; padding is optional and yields no bytes. Any
// character outside the alphabet (line breaks too) gives "".
std::string base64_decode(std::string const& text);
// 1536 -> "1.50 kB", 1024 -> "1 kB" (an all-zero fraction is dropped).
std::string size_to_human(float size, unsigned int precision);
// `count` BYTES as lowercase hex, no separators.
std::string digest_as_string(unsigned char const* bytes, unsigned int count);
// `bits` / 8 bytes to stdout as "xx " each, then a line end. Note: BITS.
void print_digest(unsigned char* bytes, unsigned int bits);

// ---- host and files --------------------------------------------------------

std::string get_nodename();
// Appends the manufacturer and product lines of dmidecode to `output`.
bool get_hw_platform(std::string& output);
// False (with strerror text in `error`) when stat fails; otherwise `sparse`
// tells whether fewer bytes are allocated than the file is long.
bool is_sparse_file(std::string const& path, bool& sparse, std::string& error);
// Size of a regular file or a block device in bytes; 0 on any error.
std::int64_t get_file_size(std::string const& path);
// Length of a symbolic link's target text; 0 for anything else.
std::int64_t get_symlink_size(std::string const& path);

namespace server {

// HMAC-SHA-256 of node name + first line of /etc/machine-id + OS name,
// keyed with the built-in salt: 64 lowercase hex digits.
std::string hardware_id();
// In place: text -> hex of its Kuznyechik-CTR ciphertext under a key derived
// from hardware_id(); decrypt_string reverses it on the same host only.
void encrypt_string(std::string& text);
void decrypt_string(std::string& text);

}  // namespace server

}  // namespace ks_utils_common
