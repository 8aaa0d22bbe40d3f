#include "e2e/harness.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>

#include <boost/filesystem.hpp>

extern char** environ;

namespace kstest::e2e {

namespace fs = boost::filesystem;

namespace {

char const* const kConfigFile = "/opt/kestrova/etc/ks_module_rustack.conf";
char const* const kLoggerConfig = "/opt/kestrova/etc/ks_logger.config";
char const* const kLogFile = "/opt/kestrova/log/ks_module_rustack.log";

std::vector<std::string> read_lines(std::string const& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

std::string text_of(boost::json::value const& v, char const* key) {
  auto const* o = v.if_object();
  if (!o) return "";
  auto const* m = o->if_contains(key);
  return m && m->is_string() ? std::string(m->as_string()) : std::string();
}

// The volume image metadata of the standard seed's boot volume.
boost::json::object standard_image_metadata() {
  boost::json::value const seed = boost::json::parse(FakeCloud::standard_seed());
  for (auto const& v : seed.at("volumes").as_array())
    if (v.as_object().contains("volume_image_metadata")) return v.at("volume_image_metadata").as_object();
  throw std::runtime_error("harness: the standard seed has no image metadata");
}

}  // namespace

std::string module_program() { return KS_MODULE_PROGRAM; }

std::string random_bytes(std::size_t size) {
  static std::mt19937_64 engine{std::random_device{}()};
  std::string out(size, '\0');
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t const r = engine();
    for (int b = 0; b < 8; ++b) out[i + b] = static_cast<char>(r >> (8 * b));
  }
  for (std::uint64_t r = engine(); i < size; ++i, r >>= 8) out[i] = static_cast<char>(r);
  return out;
}

std::string ModuleConfig::text(std::string const& cloud_url) const {
  std::ostringstream s;
  s << "url " << (url.empty() ? cloud_url : url) << "\n"
    << "username " << username << "\n"
    << "password " << password << "\n";
  if (!admin_name.empty()) s << "admin_name " << admin_name << "\n" << "admin_password " << admin_password << "\n";
  s << "protocol " << protocol << "\n"
    << "domain " << domain << "\n"
    << "project_id " << project_id << "\n"
    << "volume_creation_timeout " << volume_creation_timeout << "\n"
    << "snapshot_creation_timeout " << snapshot_creation_timeout << "\n"
    << "volume_attachment_timeout " << volume_attachment_timeout << "\n"
    << "timeout " << timeout << "\n"
    << "kestrova-vm-id " << vm_id << "\n"
    << "enable_ssl no\n";
  if (curl_verbose) s << "curl_verbose\n";
  for (auto const& l : extra_lines) s << l << "\n";
  return s.str();
}

boost::json::value VirshCall::request() const {
  if (argv.size() != 5 || argv[2] != "qemu-agent-command") return nullptr;
  boost::system::error_code ec;
  boost::json::value v = boost::json::parse(argv[4], ec);
  return ec ? boost::json::value(nullptr) : v;
}

Harness::Harness(HarnessOptions options) {
  if (!private_dev())
    throw std::runtime_error("harness: needs the sandbox's private /dev (register the test with ks_add_e2e_gtest)");
  data_dir_ = path("cloud");
  media_dir_ = path("media");
  fs::create_directories(data_dir_);
  fs::create_directories(media_dir_);
  fs::create_directories(task_dir());

  set_virsh_fixture({{"scripts",
                      {{{"path", "/usr/bin/test"},
                        {"args", {"-f", "/opt/kestrova/scripts/rustack.sh"}},
                        {"exitcode", 1}}}}});
  set_ssh_fixture({{"default", {{"exit", 0}}}});

  FakeCloudOptions o;
  o.seed_json = options.seed_json;
  o.data_dir = data_dir_;
  o.hooks_file = source_path("tests/standins/cloud/block_devices.py").string();
  o.extra_args = options.cloud_args;
  cloud_ = std::make_unique<FakeCloud>(o);

  if (options.kestrova_root_disk) {
    root_file_ = path("kestrova-root.img");
    write_file(root_file_, random_bytes(1 << 20));
    root_disk_ = std::make_unique<LoopDevice>("/dev/vda", root_file_);
  }
  if (options.fill_standard_vm) {
    for (auto const& id : {standard_cloud::web_root, standard_cloud::web_data}) {
      if (object("volumes", id).is_null()) continue;
      write_volume(id, random_bytes(fs::file_size(volume_file(id))));
    }
  }
  // The logger reads its file only when all three keys are there.
  if (!options.log_level.empty())
    write_file(kLoggerConfig, "log_level " + options.log_level + "\nlog_file_max_size 1\nlog_file_max_rotate 10\n");
  if (options.write_config) write_config(options.config);
}

Harness::~Harness() {
  cloud_.reset();  // detaches what the hooks made before the files go
  root_disk_.reset();
}

boost::json::value Harness::object(std::string const& kind, std::string const& id) const {
  boost::json::object const all = inventory();
  for (auto const& o : all.at(kind).as_array())
    if (text_of(o, "id") == id) return o;
  return nullptr;
}

Vm Harness::make_vm(VmSpec const& spec) {
  Vm vm;
  vm.name = spec.name;
  boost::json::array volumes;
  for (auto const& v : spec.volumes) {
    boost::json::object entry{{"size", v.size}, {"bootable", v.bootable}};
    if (!v.name.empty()) entry["name"] = v.name;
    if (!v.id.empty()) entry["id"] = v.id;
    if (v.image_metadata) entry["volume_image_metadata"] = standard_image_metadata();
    boost::json::value const made = cloud_->control("POST", "objects/volumes", boost::json::serialize(entry));
    std::string const id = text_of(made, "id");
    vm.volume_ids.push_back(id);
    volumes.push_back(boost::json::value(id));
    if (v.random_fill) write_volume(id, random_bytes(fs::file_size(text_of(made, "backing_file"))));
  }
  boost::json::object server = spec.extra;
  server["name"] = spec.name;
  server["status"] = spec.status;
  server["hypervisor_hostname"] = spec.hypervisor_hostname;
  server["volumes"] = volumes;
  boost::json::value const made = cloud_->control("POST", "objects/servers", boost::json::serialize(server));
  vm.id = text_of(made, "id");
  vm.instance_name = text_of(made, "instance_name");
  return vm;
}

Vm Harness::standard_vm() const {
  boost::json::value const s = object("servers", standard_cloud::web);
  if (s.is_null()) throw std::runtime_error("harness: the cloud has no server web");
  Vm vm;
  vm.id = standard_cloud::web;
  vm.name = text_of(s, "name");
  vm.instance_name = text_of(s, "instance_name");
  for (auto const& id : s.at("volumes").as_array()) vm.volume_ids.emplace_back(id.as_string());
  return vm;
}

std::string Harness::volume_file(std::string const& volume_id) const {
  std::string const f = text_of(object("volumes", volume_id), "backing_file");
  if (f.empty()) throw std::runtime_error("harness: volume " + volume_id + " has no backing file");
  return f;
}

std::string Harness::read_volume(std::string const& volume_id) const { return read_file(volume_file(volume_id)); }

void Harness::write_volume(std::string const& volume_id, std::string const& bytes, std::uint64_t offset) const {
  std::string const f = volume_file(volume_id);
  std::fstream out(f, std::ios::binary | std::ios::in | std::ios::out);
  out.seekp(static_cast<std::streamoff>(offset));
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) throw std::runtime_error("harness: cannot write " + f);
}

std::string Harness::read_snapshot(std::string const& snapshot_id) const {
  std::string const f = text_of(object("snapshots", snapshot_id), "backing_file");
  if (f.empty()) throw std::runtime_error("harness: snapshot " + snapshot_id + " has no backing file");
  return read_file(f);
}

std::vector<BlockDevice> Harness::block_devices() const {
  std::vector<BlockDevice> out;
  std::string const f = data_dir_ + "/block_devices.json";
  if (!fs::exists(f)) return out;
  boost::json::value const all = boost::json::parse(read_file(f));
  for (auto const& d : all.as_array())
    out.push_back({text_of(d, "attachment_id"), text_of(d, "server_id"), text_of(d, "volume_id"),
                   text_of(d, "device"), text_of(d, "by_id"), text_of(d, "loop"), text_of(d, "backing_file"),
                   text_of(d, "kind")});
  return out;
}

void Harness::set_device_faults(boost::json::object const& faults) const {
  write_file(data_dir_ + "/block_devices.faults.json", boost::json::serialize(faults));
}

void Harness::set_device_fault_rules(boost::json::array const& rules) const {
  write_file(data_dir_ + "/block_devices.faults.json", boost::json::serialize(rules));
}

void Harness::clear_device_faults() const { fs::remove(data_dir_ + "/block_devices.faults.json"); }

void Harness::write_config(ModuleConfig const& config) const { write_file(kConfigFile, config.text(cloud_->base_url())); }

std::map<std::string, std::string> Harness::environment() const {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string const var = *e;
    size_t const eq = var.find('=');
    if (eq != std::string::npos) env[var.substr(0, eq)] = var.substr(eq + 1);
  }
  env["KSFD_STANDIN_MEDIA_DIR"] = media_dir_;
  env["KSFD_STANDIN_ARGV_LOG"] = path("ksfd.calls");
  env["VIRSH_STANDIN_FIXTURE"] = path("virsh.json");
  env["VIRSH_STANDIN_STATE"] = path("virsh.state");
  env["VIRSH_STANDIN_LOG"] = path("virsh.calls");
  env["SSH_STANDIN_FIXTURE"] = path("ssh.json");
  env["SSH_STANDIN_LOG"] = path("ssh.calls");
  for (auto const& [k, v] : env_) env[k] = v;
  return env;
}

ProcessResult Harness::run(std::vector<std::string> const& args, std::chrono::seconds limit) const {
  return start(args)->wait(limit);
}

std::unique_ptr<ChildProcess> Harness::start(std::vector<std::string> const& args) const {
  std::vector<std::string> argv{module_program()};
  argv.insert(argv.end(), args.begin(), args.end());
  std::map<std::string, std::string> env = environment();
  // See KS_E2E_CLOCK_RATE in CMakeLists.txt beside this file.
  char const* given = std::getenv("KS_E2E_CLOCK_RATE");
  int rate = given != nullptr ? std::atoi(given) : 1;
  if (clock_rate_cap_ > 0 && rate > clock_rate_cap_) rate = clock_rate_cap_;
  if (rate > 1 && env_.count("FAKETIME") == 0) {
    env["LD_PRELOAD"] = std::string(KS_FAKETIME_LIBRARY) + ":" + KS_OWN_PRELOAD_LIBRARY;
    env["FAKETIME"] = "+0 x" + std::to_string(rate);
    env["FAKETIME_DONT_FAKE_MONOTONIC"] = "1";
  }
  return std::make_unique<ChildProcess>(argv, env);
}

std::string Harness::log_text() const {
  if (!fs::exists(kLogFile)) return "";
  static std::regex const colour("\x1b\\[[0-9;]*m");
  return std::regex_replace(read_file(kLogFile), colour, "");
}

void Harness::set_virsh_fixture(boost::json::object const& fixture) const {
  write_file(path("virsh.json"), boost::json::serialize(fixture));
  fs::remove(path("virsh.state"));
}

std::vector<VirshCall> Harness::virsh_calls() const {
  std::vector<VirshCall> calls;
  for (auto const& line : read_lines(path("virsh.calls"))) {
    boost::json::value const v = boost::json::parse(line);
    VirshCall c;
    for (auto const& a : v.at("argv").as_array()) c.argv.emplace_back(a.as_string());
    c.lang = text_of(v, "lang");
    calls.push_back(std::move(c));
  }
  return calls;
}

void Harness::set_ssh_fixture(boost::json::object const& fixture) const {
  write_file(path("ssh.json"), boost::json::serialize(fixture));
}

std::vector<boost::json::object> Harness::ssh_calls() const {
  std::vector<boost::json::object> calls;
  for (auto const& line : read_lines(path("ssh.calls"))) calls.push_back(boost::json::parse(line).as_object());
  return calls;
}

std::vector<std::string> Harness::ksfd_calls() const { return read_lines(path("ksfd.calls")); }

void Harness::clear_calls() const {
  for (char const* f : {"virsh.calls", "ssh.calls", "ksfd.calls"}) fs::remove(path(f));
}

}  // namespace kstest::e2e
