// The command pattern shared by the library's queries: run one tool through
// the shell runner, log its failure in the operation's form, parse what it
// printed, check the root element, and hand the document to the caller.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "opennebula/xml_util.h"

namespace ks_opennebula_common {

// How a failed command is reported (each form is one or more Error lines;
// <sig> is the operation's signature).
enum class failure_form {
  none,                 // nothing is logged
  command_then_output,  // <sig>: command <cmd> / <output>
  command_output,       // <sig>: command <cmd> / Command output: <output>
  produced_error,       // <sig>: command <cmd> produced an error / Command output: ...
  command_was,          // <sig>: command was: <cmd> / Command output: ...
  following_error,      // <sig>: the following command produced an error: <cmd> / Command output: ...
  following_failed,     // <sig>: the following command failed: <cmd> / Command output: ...
  vm_info,              // <sig>: can't get info for VM: <subject> / Command was: ... / Command output: ...
  host_pool,            // <sig>: can't get pool of hosts, command was<cmd> / Command output: ...
};

// "<sig><text>" as one Error line; `text` begins with ": ".
void log_error(const char* signature, const std::string& text);
// A line that only carries data ("Command output: ...") at Error.
void log_error_line(const std::string& text);
// `text` without its line breaks (joined lines of a tool's output).
std::string without_line_breaks(std::string text);

// Runs `command` into `output` (cleared first). True on exit status 0;
// otherwise logs the failure form (`subject` is the VM id of vm_info).
bool run_tool(const char* signature, const std::string& command, failure_form form, std::string& output,
              const std::string& subject = std::string());

// Texts appended to the signature when parsing fails.
struct parse_texts {
  std::string not_parsed;  // no document (or, through parse_xml_document, a line added after its own)
  std::string empty;       // no root element
  std::string wrong_root;  // root with another name
  bool through_parse_xml_document = false;

  // ": document not parsed successfully", ": empty document",
  // ": document of the wrong type, root node != <root>".
  static parse_texts standard(const std::string& root);
  // The same with an upper-case "Document".
  static parse_texts standard_capital(const std::string& root);
  // parse_xml_document's own lines, then `after_failure` when not empty.
  static parse_texts via_parse_xml_document(const std::string& wrong_root, const std::string& after_failure = "");
};

// Parses `text` and checks that the root is named `root`; logs the matching
// text and returns null on failure.
xml_document parse_checked(const char* signature, const std::string& text, const char* root,
                           const parse_texts& texts);
// The same for a saved file.
xml_document parse_file_checked(const char* signature, const std::string& path, const char* root,
                                const parse_texts& texts);

// run_tool, then parse_checked: the document, or null after logging.
xml_document query_xml(const char* signature, const std::string& command, failure_form form, const char* root,
                       const parse_texts& texts, const std::string& subject = std::string());

// 0 when the text parsed and has a root element (the caller then owns `doc`
// and frees it with xmlFreeDoc); 1 otherwise, with one Error line and no
// document left to the caller.
int parse_xml_document(const std::string& text, xmlDoc*& doc);

// ---- values placed into command lines ---------------------------------------

// True for a non-empty text of ASCII digits only (an OpenNebula object id).
bool is_numeric_id(const std::string& id);
// is_numeric_id, or an Error line "<sig>: wrong ID (a number is expected): "<id>"".
bool check_numeric_id(const char* signature, const std::string& id);

// One shell word holding exactly `text`.
std::string shell_arg(const std::string& text);
// `text` bare when it is made of characters the shell never interprets,
// quoted otherwise.
std::string shell_arg_if_needed(const std::string& text);
// A value as one word of a command that ssh hands to the remote shell:
// quoted for the remote shell, then again for the local one. A plain value
// stays bare, or in single quotes when `quoted` (as a local command would
// have it).
std::string remote_arg(const std::string& text, bool quoted = false);
// "ssh root@<host> <remote command>"; every value in the remote command
// must come through remote_arg.
std::string ssh_command(const std::string& host, const std::string& remote_command);

// ---- exceptions and numbers -------------------------------------------------

// Logs "<sig>: <what>" at Error.
void log_exception(const char* signature, const std::exception& error);

// Runs `body`; a standard exception raised inside (a number that does not
// convert, a missing table entry, no memory) is logged and becomes `failure`.
template <typename R, typename F>
R guarded(const char* signature, R failure, F&& body) {
  try {
    return body();
  } catch (const std::exception& error) {
    log_exception(signature, error);
    return failure;
  }
}

// A SIZE text in megabytes (read like std::stoull with base 0: "0x10" is
// hexadecimal, "010" octal) as bytes. Throws std::invalid_argument for a
// text without digits, std::out_of_range for a negative value or one whose
// bytes do not fit 64 bits.
std::uint64_t megabytes_to_bytes(const std::string& text);

}  // namespace ks_opennebula_common
