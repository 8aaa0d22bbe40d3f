// The end-to-end harness itself: the private /dev, real block devices that
// follow attachments through the cloud's API, the virsh and ssh stand-ins,
// and runs of the real program.
#include "e2e/harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <linux/magic.h>

#include <thread>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

namespace fs = boost::filesystem;
namespace sc = kstest::standard_cloud;
using kstest::e2e::ChildProcess;
using kstest::e2e::Harness;
using kstest::e2e::ProcessResult;

namespace {

// Plain requests to the cloud's services with a project token, as the module
// makes them.
class Api {
 public:
  explicit Api(kstest::FakeCloud& cloud) : cloud_(cloud), token_(cloud.login(sc::user, sc::password)) {}

  boost::json::value call(std::string const& method, std::string const& path, boost::json::object const& body = {}) {
    kstest::FakeCloudReply const r =
        cloud_.request(method, path, body.empty() ? "" : boost::json::serialize(body),
                       {"X-Auth-Token: " + token_, "Content-Type: application/json"});
    if (r.status >= 300) throw std::runtime_error(method + " " + path + ": " + std::to_string(r.status) + " " + r.body);
    return r.body.empty() ? boost::json::value(nullptr) : boost::json::parse(r.body);
  }

  std::string volume_path(std::string const& id) { return std::string("/cinder/v3/") + sc::project + "/volumes/" + id; }

  std::string status(std::string const& id) {
    return std::string(call("GET", volume_path(id)).at("volume").at("status").as_string());
  }

  // Polls the volume (each read advances the stand-in's transition) until it
  // shows the status.
  void await(std::string const& id, std::string const& wanted) {
    for (int i = 0; i < 20; ++i)
      if (status(id) == wanted) return;
    throw std::runtime_error("volume " + id + " never became " + wanted);
  }

  std::string new_volume(int size, std::string const& snapshot = "") {
    boost::json::object v{{"size", size}};
    if (!snapshot.empty()) v["snapshot_id"] = snapshot;
    std::string const id(call("POST", std::string("/cinder/v3/") + sc::project + "/volumes", {{"volume", v}})
                             .at("volume").at("id").as_string());
    await(id, "available");
    return id;
  }

  // Attaches to the server and returns the device the reply names.
  std::string attach(std::string const& server, std::string const& volume) {
    boost::json::value const r = call("POST", "/nova-api/v2/servers/" + server + "/os-volume_attachments",
                                      {{"volumeAttachment", {{"volumeId", volume}, {"device", nullptr}}}});
    await(volume, "in-use");
    return std::string(r.at("volumeAttachment").at("device").as_string());
  }

  void detach(std::string const& server, std::string const& volume) {
    call("DELETE", "/nova-api/v2/servers/" + server + "/os-volume_attachments/" + volume);
    await(volume, "available");
  }

 private:
  kstest::FakeCloud& cloud_;
  std::string token_;
};

std::string read_device(std::string const& path) { return kstest::read_file(path); }

void write_device(std::string const& path, std::string const& bytes) {
  int const fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  ASSERT_EQ(::fsync(fd), 0);
  ::close(fd);
}

}  // namespace

TEST(PrivateDev, DevIsAPrivateTmpfsWithTheKestrovaDisk) {
  ASSERT_TRUE(kstest::e2e::private_dev()) << "run through ctest (ks-sandbox --private-dev)";
  struct statfs st {};
  ASSERT_EQ(::statfs("/dev", &st), 0);
  EXPECT_EQ(st.f_type, static_cast<decltype(st.f_type)>(TMPFS_MAGIC));
  for (char const* node : {"/dev/null", "/dev/zero", "/dev/urandom", "/dev/loop-control"})
    EXPECT_TRUE(fs::exists(node)) << node;
  EXPECT_EQ(kstest::run("echo x >/dev/null && head -c 3 /dev/zero | wc -c").output, "3\n");

  Harness h;
  ASSERT_TRUE(kstest::e2e::is_block_device("/dev/vda"));
  EXPECT_EQ(kstest::e2e::block_device_size("/dev/vda"), fs::file_size(h.kestrova_root_file()));
  EXPECT_EQ(read_device("/dev/vda"), kstest::read_file(h.kestrova_root_file()));
}

TEST(BlockDevices, AttachToTheKestrovaVmMakesTheDeviceAndDetachRemovesIt) {
  Harness h;
  Api api(h.cloud());
  std::string const a = api.new_volume(2), b = api.new_volume(1);
  std::string const bytes_a = kstest::e2e::random_bytes(2 << 20), bytes_b = kstest::e2e::random_bytes(1 << 20);
  h.write_volume(a, bytes_a);
  h.write_volume(b, bytes_b);

  std::string const dev_a = api.attach(sc::kestrova_vm, a), dev_b = api.attach(sc::kestrova_vm, b);
  EXPECT_EQ(dev_a, "/dev/vdb");  // vda is the Kestrova VM's own disk
  EXPECT_EQ(dev_b, "/dev/vdc");
  struct Case {
    std::string volume, device, bytes;
  };
  for (Case const& c : {Case{a, dev_a, bytes_a}, Case{b, dev_b, bytes_b}}) {
    SCOPED_TRACE(c.device);
    ASSERT_TRUE(kstest::e2e::is_block_device(c.device));
    EXPECT_EQ(kstest::e2e::block_device_size(c.device), c.bytes.size());
    EXPECT_EQ(read_device(c.device), c.bytes);
    // The link udev makes for a virtio disk with the volume id as its serial.
    std::string const link = "/dev/disk/by-id/virtio-" + c.volume.substr(0, 20);
    ASSERT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link).string(), "../../" + fs::path(c.device).filename().string());
    EXPECT_EQ(fs::canonical(link).string(), c.device);
    EXPECT_TRUE(kstest::e2e::loop_bound_to(h.volume_file(c.volume)));
  }
  EXPECT_NE(kstest::e2e::device_numbers(dev_a), kstest::e2e::device_numbers(dev_b));
  ASSERT_EQ(h.block_devices().size(), 2u);

  // Writes through the device reach the volume (a restore's dd).
  std::string const written = kstest::e2e::random_bytes(1 << 20);
  write_device(dev_b, written);
  EXPECT_EQ(h.read_volume(b), written);

  api.detach(sc::kestrova_vm, a);
  EXPECT_FALSE(fs::exists(fs::symlink_status(dev_a)));
  EXPECT_FALSE(fs::exists(fs::symlink_status("/dev/disk/by-id/virtio-" + a.substr(0, 20))));
  EXPECT_FALSE(kstest::e2e::loop_bound_to(h.volume_file(a)));
  EXPECT_TRUE(kstest::e2e::is_block_device(dev_b));
  ASSERT_EQ(h.block_devices().size(), 1u);
  EXPECT_EQ(h.block_devices()[0].volume_id, b);
}

TEST(BlockDevices, AWrongDeviceNameInTheReplyLeavesTheRealDeviceWhereItIs) {
  Harness h;
  Api api(h.cloud());
  std::string const v = api.new_volume(1);
  h.cloud().add_fault({{"method", "POST"},
                       {"path", ".*/os-volume_attachments"},
                       {"patch", {{"volumeAttachment", {{"device", "/dev/vdq"}}}}}});
  EXPECT_EQ(api.attach(sc::kestrova_vm, v), "/dev/vdq");
  EXPECT_FALSE(fs::exists(fs::symlink_status("/dev/vdq")));
  EXPECT_TRUE(kstest::e2e::is_block_device("/dev/vdb"));
  EXPECT_EQ(fs::canonical("/dev/disk/by-id/virtio-" + v.substr(0, 20)).string(), "/dev/vdb");
}

TEST(BlockDevices, DeviceFaultsShapeWhatAnAttachmentShows) {
  struct Case {
    char const* what;
    boost::json::object faults;
    std::string kind;  // what /dev/vdb is: block, file or none
    bool link;
  };
  for (Case const& c : {Case{"no link from udev", {{"by_id", false}}, "block", false},
                        Case{"a regular file", {{"device", "file"}}, "file", true},
                        Case{"a regular file, no link", {{"device", "file"}, {"by_id", false}}, "file", false},
                        Case{"nothing appears", {{"device", "none"}}, "none", false},
                        Case{"another volume is meant", {{"device", "none"}, {"volumes", {"x"}}}, "block", true}}) {
    SCOPED_TRACE(c.what);
    Harness h;
    Api api(h.cloud());
    std::string const v = api.new_volume(1);
    h.set_device_faults(c.faults);
    EXPECT_EQ(api.attach(sc::kestrova_vm, v), "/dev/vdb");
    fs::file_status const st = fs::symlink_status("/dev/vdb");
    EXPECT_EQ(kstest::e2e::is_block_device("/dev/vdb"), c.kind == "block");
    EXPECT_EQ(fs::is_regular_file(st), c.kind == "file");
    EXPECT_EQ(fs::exists(st), c.kind != "none");
    std::string const link = "/dev/disk/by-id/virtio-" + v.substr(0, 20);
    EXPECT_EQ(fs::is_symlink(link), c.link);
    ASSERT_EQ(h.block_devices().size(), 1u);
    EXPECT_EQ(h.block_devices()[0].kind, c.kind);

    h.clear_device_faults();
    api.detach(sc::kestrova_vm, v);
    EXPECT_FALSE(fs::exists(fs::symlink_status("/dev/vdb")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    EXPECT_FALSE(kstest::e2e::loop_bound_to(h.volume_file(v)));
  }
}

// A list of rules shapes each volume's attachment on its own: here one disk
// on a SCSI bus and one whose link udev has not made.
TEST(BlockDevices, FaultRulesApplyPerVolume) {
  Harness h;
  Api api(h.cloud());
  std::string const a = api.new_volume(1), b = api.new_volume(1);
  h.set_device_fault_rules({{{"volumes", {a}}, {"by_id", "scsi"}}, {{"by_id", false}}});
  EXPECT_EQ(api.attach(sc::kestrova_vm, a), "/dev/vdb");
  EXPECT_EQ(api.attach(sc::kestrova_vm, b), "/dev/vdc");
  std::string const scsi = "/dev/disk/by-id/scsi-0QEMU_QEMU_HARDDISK_" + a.substr(0, 20);
  ASSERT_TRUE(fs::is_symlink(scsi));
  EXPECT_EQ(fs::canonical(scsi).string(), "/dev/vdb");
  for (std::string const& v : {a, b})
    EXPECT_FALSE(fs::exists(fs::symlink_status("/dev/disk/by-id/virtio-" + v.substr(0, 20)))) << v;
  EXPECT_FALSE(fs::exists(fs::symlink_status("/dev/disk/by-id/scsi-0QEMU_QEMU_HARDDISK_" + b.substr(0, 20))));
  EXPECT_TRUE(kstest::e2e::is_block_device("/dev/vdc"));

  api.detach(sc::kestrova_vm, a);
  EXPECT_FALSE(fs::exists(fs::symlink_status(scsi)));
  api.detach(sc::kestrova_vm, b);
  EXPECT_TRUE(h.block_devices().empty());
}

TEST(BlockDevices, OnlyTheKestrovaVmGetsDevicesAndCopiesOfSnapshotsHoldTheirBytes) {
  Harness h;
  Api api(h.cloud());
  kstest::e2e::Vm const web = h.standard_vm();
  std::string const data = web.volume_ids.at(1);
  std::string const before = h.read_volume(data);

  std::string const snap(api.call("POST", std::string("/cinder/v3/") + sc::project + "/snapshots",
                                  {{"snapshot", {{"volume_id", data}, {"force", true}, {"name", "s"}}}})
                             .at("snapshot").at("id").as_string());
  // Written after the snapshot: must not reach its copy.
  h.write_volume(data, kstest::e2e::random_bytes(4096));
  for (int i = 0; i < 3; ++i) api.call("GET", std::string("/cinder/v3/") + sc::project + "/snapshots/" + snap);

  std::string const copy = api.new_volume(2, snap);
  std::string const other = api.new_volume(1);
  EXPECT_EQ(api.attach(sc::web, other), "/dev/vdc");  // web has vda and vdb
  EXPECT_FALSE(fs::exists(fs::symlink_status("/dev/vdc")));
  EXPECT_TRUE(h.block_devices().empty());

  std::string const dev = api.attach(sc::kestrova_vm, copy);
  EXPECT_EQ(read_device(dev), before);
  EXPECT_NE(h.read_volume(data), before);
}

TEST(BlockDevices, StoppingTheCloudLetsEveryDeviceGo) {
  std::string file;
  {
    Harness h;
    Api api(h.cloud());
    std::string const v = api.new_volume(1);
    file = h.volume_file(v);
    api.attach(sc::kestrova_vm, v);
    ASSERT_TRUE(kstest::e2e::loop_bound_to(file));
  }
  EXPECT_FALSE(kstest::e2e::loop_bound_to(file));
  EXPECT_FALSE(fs::exists(fs::symlink_status("/dev/vdb")));
  EXPECT_FALSE(fs::exists(fs::symlink_status("/dev/vda")));
}

TEST(LoopDevice, RefusesPathsOutsideDevAndExistingNodes) {
  kstest::TempDir d;
  kstest::write_file(d / "f.img", std::string(4096, 'x'));
  std::string const f = (d / "f.img").string();
  for (char const* node : {"/dev/null", "/dev/disk/by-id/x", "/tmp/vdz", "/dev/../tmp/vdz"})
    EXPECT_THROW(kstest::e2e::LoopDevice(node, f), std::runtime_error) << node;
  kstest::e2e::LoopDevice ok("/dev/vdz", f);
  EXPECT_EQ(read_device("/dev/vdz"), std::string(4096, 'x'));
}

// ---- the virsh and ssh stand-ins, as the module's commands reach them --------------

namespace {

ProcessResult run_tool(Harness const& h, std::vector<std::string> argv) {
  return ChildProcess(argv, h.environment()).wait(std::chrono::seconds(30));
}

ProcessResult agent(Harness const& h, std::string const& json, std::string const& host = "192.168.100.12") {
  return run_tool(h, {"/usr/bin/virsh", "-c", "qemu+ssh://root@" + host + "/system", "qemu-agent-command",
                      "instance-0000002a", json});
}

std::string exec_json(std::string const& path, std::string const& args) {
  return "{\"execute\": \"guest-exec\", \"arguments\":{\"path\": \"" + path + "\",\"arg\": [" + args + "]}}";
}

std::string status_json(std::string const& pid) {
  return "{\"execute\": \"guest-exec-status\", \"arguments\": {\"pid\": " + pid + "}}";
}

}  // namespace

TEST(VirshStandIn, AnswersLikeTheGuestAgent) {
  Harness h;
  h.set_virsh_fixture({{"hosts", {"192.168.100.12"}},
                       {"domains", {"instance-0000002a"}},
                       {"next_pid", 700},
                       {"scripts",
                        {{{"path", "/s/ok"}, {"args", {"x"}}, {"exitcode", 4}},
                         {{"path", "/s/ok"}, {"exitcode", 0}, {"polls", 2}},
                         {{"path", "/s/odd name\"'\\"}, {"exitcode", 0}}}}});

  ProcessResult v = run_tool(h, {"/usr/bin/virsh", "-v"});
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out, "9.0.0\n");

  // Two polls still running, then the exit code, then the pid is gone.
  ProcessResult start = agent(h, exec_json("/s/ok", "\"before\""));
  ASSERT_EQ(start.status, 0) << start.err;
  EXPECT_EQ(start.out, "{\"return\":{\"pid\":700}}\n");
  for (char const* reply : {"{\"return\":{\"exited\":false}}\n", "{\"return\":{\"exited\":false}}\n",
                            "{\"return\":{\"exitcode\":0,\"exited\":true}}\n"})
    EXPECT_EQ(agent(h, status_json(" 700")).out, reply);
  EXPECT_EQ(agent(h, status_json("700")).status, 1);

  // The first rule that matches decides: this one only for exactly "x".
  EXPECT_EQ(agent(h, exec_json("/s/ok", "\"x\"")).out, "{\"return\":{\"pid\":701}}\n");
  EXPECT_EQ(agent(h, status_json("701")).out, "{\"return\":{\"exitcode\":4,\"exited\":true}}\n");
  // A hostile name arrives whole when the JSON escapes it.
  EXPECT_EQ(agent(h, exec_json("/s/odd name\\\"'\\\\", "")).status, 0);

  struct Refusal {
    std::string json, host, message;
  };
  for (Refusal const& r : {Refusal{exec_json("/s/missing", ""), "192.168.100.12", "No such file or directory"},
                           Refusal{exec_json("/s/odd name\"'\\", ""), "192.168.100.12", "cannot parse json"},
                           Refusal{"{\"execute\": \"guest-exec\", \"execute\": \"x\"}", "192.168.100.12",
                                   "cannot parse json"},
                           Refusal{status_json("\"700\""), "192.168.100.12", "expected: integer"},
                           Refusal{status_json("999"), "192.168.100.12", "Invalid parameter 'pid'"},
                           Refusal{exec_json("/s/ok", ""), "10.9.9.9", "failed to connect to the hypervisor"}}) {
    SCOPED_TRACE(r.json);
    ProcessResult const res = agent(h, r.json, r.host);
    EXPECT_EQ(res.status, 1);
    EXPECT_NE(res.err.find("error: "), std::string::npos);
    EXPECT_NE(res.err.find(r.message), std::string::npos) << res.err;
  }

  std::vector<kstest::e2e::VirshCall> const calls = h.virsh_calls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[0].argv, std::vector<std::string>{"-v"});
  EXPECT_EQ(calls[1].request().at("arguments").at("arg").at(0).as_string(), "before");
}

TEST(SshStandIn, AnswersPerHostAndLogsTheCall) {
  Harness h;
  h.set_ssh_fixture({{"hosts", {{"10.1.1.1", {{"exit", 0}}}}}});
  std::vector<std::string> const base = {"/usr/bin/ssh", "-q", "-l", "root"};
  auto with_host = [&](std::string const& host, bool quiet) {
    std::vector<std::string> a = base;
    if (!quiet) a.erase(a.begin() + 1);
    a.insert(a.end(), {host, "-o", "ConnectTimeout=5", "-o", "BatchMode=yes", "exit 0"});
    return run_tool(h, a);
  };
  EXPECT_EQ(with_host("10.1.1.1", true).status, 0);
  ProcessResult const quiet = with_host("10.2.2.2", true);
  EXPECT_EQ(quiet.status, 255);
  EXPECT_EQ(quiet.err, "");
  ProcessResult const loud = with_host("10.2.2.2", false);
  EXPECT_EQ(loud.err, "ssh: connect to host 10.2.2.2 port 22: Connection refused\n");

  std::vector<boost::json::object> const calls = h.ssh_calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].at("host").as_string(), "10.1.1.1");
  EXPECT_EQ(calls[0].at("user").as_string(), "root");
  EXPECT_EQ(calls[0].at("options").at("ConnectTimeout").as_string(), "5");
  EXPECT_EQ(calls[0].at("command").at(0).as_string(), "exit 0");
}

// ---- runs of the real program ------------------------------------------------------

TEST(ModuleRuns, ListsTheCloudsServersThroughTheWrittenConfiguration) {
  Harness h;
  kstest::e2e::Vm const vm = h.make_vm();
  ProcessResult const r = h.run({"-l"});
  ASSERT_EQ(r.status, 0) << r.out << r.err << h.log_text();
  EXPECT_TRUE(r.has_line(vm.id + "|db|ACTIVE")) << r.out;
  EXPECT_TRUE(r.has_line(std::string(sc::web) + "|web|ACTIVE")) << r.out;
  EXPECT_EQ(vm.volume_ids.size(), 2u);
  EXPECT_EQ(h.read_volume(vm.volume_ids[0]).size(), 2u << 20);
  EXPECT_NE(h.read_volume(vm.volume_ids[0]), std::string(2u << 20, '\0'));

  // A configuration that names another user fails the login.
  kstest::e2e::ModuleConfig bad;
  bad.password = "wrong";
  h.write_config(bad);
  EXPECT_NE(h.run({"-l"}).status, 0);
  EXPECT_NE(h.log_text().find("unable login to url: " + h.cloud().base_url()), std::string::npos) << h.log_text();
}

TEST(ModuleRuns, ASignalReachesTheRunningProgram) {
  Harness h;
  h.cloud().add_fault({{"method", "GET"}, {"path", ".*/servers/detail"}, {"delay", 20}});
  std::unique_ptr<ChildProcess> run = h.start({"-l"});
  // Wait until the program sits in the delayed request, then stop it.
  bool seen = false;
  for (int i = 0; i < 200 && !seen; ++i) {
    for (auto const& e : h.request_log())
      if (std::string(e.at("path").as_string()).find("/servers/detail") != std::string::npos) seen = true;
    if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(seen);
  run->send_signal(SIGTERM);
  ProcessResult const r = run->wait(std::chrono::seconds(15));
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 17) << r.out << r.err;
}
