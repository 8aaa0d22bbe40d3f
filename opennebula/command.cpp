#include "opennebula/command.h"

#include <algorithm>
#include <iomanip>
#include <limits>
#include <stdexcept>

#include "support/log/ks_log.h"
#include "support/utils/ks_utils_common.h"
#include "support/utils/quoting.h"

namespace ks_opennebula_common {

namespace {

constexpr char kParseSig[] = "int ks_opennebula_common::parse_xml_document(const string&, xmlDoc*&)";

void log_failure(const char* sig, failure_form form, const std::string& cmd_text, const std::string& out,
                 const std::string& subject_text) {
  // Names and ids inside the command, and the tool's output, come from
  // outside: each stays within its line.
  std::string const cmd = kestrova::as_one_line(cmd_text);
  std::string const subject = kestrova::as_one_line(subject_text);
  switch (form) {
    case failure_form::none:
      return;
    case failure_form::command_then_output:
      log_error(sig, ": command " + cmd);
      log_error_line(kestrova::as_one_line(out));
      return;
    case failure_form::command_output:
      log_error(sig, ": command " + cmd);
      break;
    case failure_form::produced_error:
      log_error(sig, ": command " + cmd + " produced an error");
      break;
    case failure_form::command_was:
      log_error(sig, ": command was: " + cmd);
      break;
    case failure_form::following_error:
      log_error(sig, ": the following command produced an error: " + cmd);
      break;
    case failure_form::following_failed:
      log_error(sig, ": the following command failed: " + cmd);
      break;
    case failure_form::vm_info:
      log_error(sig, ": can't get info for VM: " + subject);
      log_error_line("Command was: " + cmd);
      break;
    case failure_form::host_pool:
      log_error(sig, ": can't get pool of hosts, command was" + cmd);
      break;
  }
  log_error_line("Command output: " + kestrova::as_one_line(out));
}

xml_document check_root(const char* signature, xml_document doc, const char* root, const parse_texts& texts) {
  if (!xmlDocGetRootElement(doc.get())) {
    log_error(signature, texts.empty);
    return nullptr;
  }
  if (!is_element(xmlDocGetRootElement(doc.get()), root)) {
    log_error(signature, texts.wrong_root);
    return nullptr;
  }
  return doc;
}

}  // namespace

void log_error(const char* signature, const std::string& text) {
  KsLogStream(KsLogLvl::Error) << signature << text << std::endl;
}

void log_error_line(const std::string& text) { KsLogStream(KsLogLvl::Error) << text << std::endl; }

std::string without_line_breaks(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
  return text;
}

bool run_tool(const char* signature, const std::string& command, failure_form form, std::string& output,
              const std::string& subject) {
  output.clear();
  if (ks_utils_common::execute_command(command, output) == 0) return true;
  log_failure(signature, form, command, output, subject);
  return false;
}

parse_texts parse_texts::standard(const std::string& root) {
  return {": document not parsed successfully", ": empty document",
          ": document of the wrong type, root node != " + root, false};
}

parse_texts parse_texts::standard_capital(const std::string& root) {
  parse_texts texts = standard(root);
  texts.not_parsed = ": Document not parsed successfully";
  return texts;
}

parse_texts parse_texts::via_parse_xml_document(const std::string& wrong_root, const std::string& after_failure) {
  return {after_failure, "", wrong_root, true};
}

xml_document parse_checked(const char* signature, const std::string& text, const char* root,
                           const parse_texts& texts) {
  if (texts.through_parse_xml_document) {
    xmlDoc* raw = nullptr;
    if (parse_xml_document(text, raw) != 0) {
      if (!texts.not_parsed.empty()) log_error(signature, texts.not_parsed);
      return nullptr;
    }
    return check_root(signature, xml_document(raw), root, texts);
  }
  xml_document doc = xml_read_memory(text);
  if (!doc) {
    log_error(signature, texts.not_parsed);
    return nullptr;
  }
  return check_root(signature, std::move(doc), root, texts);
}

xml_document parse_file_checked(const char* signature, const std::string& path, const char* root,
                                const parse_texts& texts) {
  xml_document doc = xml_read_file(path);
  if (!doc) {
    log_error(signature, texts.not_parsed);
    return nullptr;
  }
  return check_root(signature, std::move(doc), root, texts);
}

xml_document query_xml(const char* signature, const std::string& command, failure_form form, const char* root,
                       const parse_texts& texts, const std::string& subject) {
  std::string output;
  if (!run_tool(signature, command, form, output, subject)) return nullptr;
  return parse_checked(signature, output, root, texts);
}

int parse_xml_document(const std::string& text, xmlDoc*& doc) {
  doc = nullptr;
  xml_document parsed = xml_read_memory(text);
  if (!parsed) {
    log_error(kParseSig, ": XML document not parsed successfully ");
    return 1;
  }
  if (!xmlDocGetRootElement(parsed.get())) {
    log_error(kParseSig, ": XML document is empty");
    return 1;
  }
  doc = parsed.release();
  return 0;
}

bool is_numeric_id(const std::string& id) { return ks_utils_common::is_digits(id); }

bool check_numeric_id(const char* signature, const std::string& id) {
  if (is_numeric_id(id)) return true;
  KsLogStream(KsLogLvl::Error) << signature << ": wrong ID (a number is expected): " << kestrova::as_one_line_quoted(id)
                               << std::endl;
  return false;
}

std::string shell_arg(const std::string& text) { return kestrova::shell_quoted(text); }

std::string shell_arg_if_needed(const std::string& text) { return kestrova::shell_quoted_if_needed(text); }

std::string remote_arg(const std::string& text, bool quoted) {
  const std::string remote = shell_arg_if_needed(text);
  return quoted ? shell_arg(remote) : shell_arg_if_needed(remote);
}

std::string ssh_command(const std::string& host, const std::string& remote_command) {
  return "ssh " + shell_arg_if_needed("root@" + host) + " " + remote_command;
}

void log_exception(const char* signature, const std::exception& error) {
  KsLogStream(KsLogLvl::Error) << signature << ": " << kestrova::as_one_line(error.what()) << std::endl;
}

std::uint64_t megabytes_to_bytes(const std::string& text) {
  std::size_t start = text.find_first_not_of(" \t\n\v\f\r");
  if (start != std::string::npos && text[start] == '-') throw std::out_of_range("negative size: " + text);
  unsigned long long megabytes = std::stoull(text, nullptr, 0);
  if (megabytes > (std::numeric_limits<std::uint64_t>::max() >> 20)) throw std::out_of_range("size too large: " + text);
  return static_cast<std::uint64_t>(megabytes) << 20;
}

}  // namespace ks_opennebula_common
