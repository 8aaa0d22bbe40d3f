// The VM and volume descriptions: exact archive bytes against the golden
// files, loading them back field by field, round trips of awkward texts, and
// the reader's failures.
#include <tuple>

#include <gtest/gtest.h>

#include "common/test_util.h"
#include "golden/golden_samples.h"
#include "log_capture.h"
#include "rustack/records.h"

namespace {

namespace fs = boost::filesystem;

std::string golden_text(std::string const& name) {
  return kstest::read_file(kstest::source_path("tests/rustack/golden/" + name));
}

// Every saved field, for comparisons that do not go through the archive.
auto fields(vm_address const& a) { return std::tie(a.version, a.addr, a.addr_type, a.mac_addr); }
auto fields(volume_attachment const& a) { return std::tie(a.attachment_id, a.host_name, a.device); }
template <class M>
auto image_fields(M& m) {
  return std::tie(m.image_type, m.distro, m.hw_vif_model, m.hw_qemu_guest_agent, m.hw_disk_bus, m.hw_scsi_model,
                  m.image_id, m.image_name, m.checksum, m.container_format, m.disk_format, m.min_disk, m.min_ram,
                  m.size);
}
auto fields(volume_image_metadata const& m) { return image_fields(m); }

}  // namespace

// Found by argument-dependent lookup from the comparisons of vectors and tuples.
static bool operator==(vm_address const& a, vm_address const& b) { return fields(a) == fields(b); }
static bool operator==(volume_attachment const& a, volume_attachment const& b) { return fields(a) == fields(b); }
static bool operator==(volume_image_metadata const& a, volume_image_metadata const& b) {
  return fields(a) == fields(b);
}

namespace {

auto fields(server_conf const& s) {
  return std::tie(s.id, s.name, s.status, s.tenant_id, s.user_id, s.metadata, s.hostId, s.image, s.flavor_id,
                  s.network_name, s.addresses, s.accessIPv4, s.accessIPv6, s.disk_config, s.availability_zone,
                  s.config_drive, s.key_name, s.security_groups, s.host, s.instance_name, s.hypervisor_hostname,
                  s.hypervisor_type, s.hypervisor_ip, s.attached_volumes);
}
auto fields(volume const& v) {
  return std::tie(v.id, v.status, v.size, v.availability_zone, v.name, v.description, v.volume_type,
                  v.snapshot_id, v.source_volid, v.metadata, v.user_id, v.bootable, v.encrypted,
                  v.replication_status, v.consistencygroup_id, v.multiattach, v.attachments, v.tenant_id,
                  v.volume_image_metadata, v.attached_device_name);
}

server_conf sample_server() {
  namespace g = golden::server;
  server_conf s;
  s.id = g::id; s.name = g::name; s.status = g::status; s.tenant_id = g::tenant_id; s.user_id = g::user_id;
  s.metadata = g::metadata(); s.hostId = g::hostId; s.image = g::image; s.flavor_id = g::flavor_id;
  s.network_name = g::network_name;
  for (auto const& a : g::addresses()) {
    vm_address address;
    address.version = a[0]; address.addr = a[1]; address.addr_type = a[2]; address.mac_addr = a[3];
    s.addresses.push_back(address);
  }
  s.accessIPv4 = g::accessIPv4; s.accessIPv6 = g::accessIPv6; s.disk_config = g::disk_config;
  s.availability_zone = g::availability_zone; s.config_drive = g::config_drive; s.key_name = g::key_name;
  s.security_groups = g::security_groups(); s.host = g::host; s.instance_name = g::instance_name;
  s.hypervisor_hostname = g::hypervisor_hostname; s.hypervisor_type = g::hypervisor_type;
  s.hypervisor_ip = g::hypervisor_ip; s.attached_volumes = g::attached_volumes();
  return s;
}

volume sample_volume() {
  namespace g = golden::volume;
  volume v;
  v.id = g::id; v.status = g::status; v.size = g::size; v.availability_zone = g::availability_zone;
  v.name = g::name; v.description = g::description; v.volume_type = g::volume_type;
  v.snapshot_id = g::snapshot_id; v.source_volid = g::source_volid; v.metadata = g::metadata();
  v.user_id = g::user_id; v.bootable = g::bootable; v.encrypted = g::encrypted;
  v.replication_status = g::replication_status; v.consistencygroup_id = g::consistencygroup_id;
  v.multiattach = g::multiattach;
  for (auto const& a : g::attachments()) {
    volume_attachment attachment;
    attachment.attachment_id = a[0]; attachment.host_name = a[1]; attachment.device = a[2];
    v.attachments.push_back(attachment);
  }
  v.tenant_id = g::tenant_id;
  auto const m = g::image_metadata();
  auto& im = v.volume_image_metadata;
  std::tie(im.image_type, im.distro, im.hw_vif_model, im.hw_qemu_guest_agent, im.hw_disk_bus, im.hw_scsi_model,
           im.image_id, im.image_name, im.checksum, im.container_format, im.disk_format, im.min_disk, im.min_ram,
           im.size) = std::tie(m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8], m[9], m[10], m[11], m[12],
                               m[13]);
  v.attached_device_name = g::attached_device_name;
  return v;
}

TEST(RecordDefaults, SettingsAndParametersStartAsDocumented) {
  conf c;
  EXPECT_EQ(c.protocol, "ssh");
  EXPECT_FALSE(c.enable_ssl);
  EXPECT_FALSE(c.curl_verbose);
  EXPECT_EQ(c.timeout, 1u);
  EXPECT_EQ(c.volume_creation_timeout, 300u);
  EXPECT_EQ(c.snapshot_creation_timeout, 300u);
  EXPECT_EQ(c.volume_attachment_timeout, 300u);
  EXPECT_TRUE(c.url.empty() && c.api_version.nova.empty() && c.api_version.cinder.empty() &&
              c.api_version.keystone.empty());
  EXPECT_EQ(rustack_module_conf().execution_script_timeout, 5u);
}

// The golden files were written by golden/make_golden.cpp with the library's
// own archive over the documented layout; ours must match them byte for byte.
TEST(ArchiveBytes, SavedRecordsMatchTheGoldenFiles) {
  EXPECT_EQ(to_archive_text(sample_server()), golden_text("server_full.vm.config"));
  EXPECT_EQ(to_archive_text(server_conf()), golden_text("server_empty.vm.config"));
  EXPECT_EQ(to_archive_text(sample_volume()), golden_text("volume_full.conf"));
  EXPECT_EQ(to_archive_text(volume()), golden_text("volume_empty.conf"));
}

TEST(ArchiveBytes, FilesBeginWithTheArchiveHeader) {
  for (auto const& text : {to_archive_text(server_conf()), to_archive_text(volume())})
    EXPECT_EQ(text.rfind("22 serialization::archive 19 ", 0), 0u) << text;
}

TEST(ArchiveBytes, SaveWritesTheArchiveAndTruncates) {
  kstest::TempDir dir;
  std::string const path = (dir / "c1.vm.config").string();
  kstest::write_file(path, std::string(100000, 'x'));
  ASSERT_TRUE(save_server_config(path, sample_server()));
  EXPECT_EQ(kstest::read_file(path), golden_text("server_full.vm.config"));
  std::string const vpath = (dir / "c1_vdb.config").string();
  ASSERT_TRUE(save_volume_config(vpath, sample_volume()));
  EXPECT_EQ(kstest::read_file(vpath), golden_text("volume_full.conf"));
  EXPECT_FALSE(save_server_config((dir / "no/such/dir/vm.config").string(), sample_server()));
  EXPECT_FALSE(save_volume_config((dir / "no/such/dir/v.conf").string(), sample_volume()));
}

TEST(ArchiveLoad, GoldenFilesLoadIntoEveryField) {
  kstest::LogCapture log;
  kstest::TempDir dir;
  fs::copy_file(kstest::source_path("tests/rustack/golden/server_full.vm.config"), dir / "vm.config");
  fs::copy_file(kstest::source_path("tests/rustack/golden/volume_full.conf"), dir / "vol-a.conf");

  server_conf s;
  s.archive_version = 7;
  ASSERT_EQ(fill_server_config(dir.str(), s), 0) << log.text();
  EXPECT_TRUE(fields(s) == fields(sample_server()));
  EXPECT_EQ(s.hypervisor_type, "QEMU");
  EXPECT_EQ(s.hypervisor_ip, "192.0.2.10");
  EXPECT_EQ(s.archive_version, 0u);

  volume v;
  ASSERT_EQ(fill_volume_config(dir.str(), "vol-a", v), 0) << log.text();
  EXPECT_TRUE(fields(v) == fields(sample_volume()));
  EXPECT_EQ(v.attached_device_name, "vdb");
}

TEST(ArchiveLoad, EmptyGoldenFilesGiveEmptyVectors) {
  kstest::TempDir dir;
  fs::copy_file(kstest::source_path("tests/rustack/golden/server_empty.vm.config"), dir / "vm.config");
  fs::copy_file(kstest::source_path("tests/rustack/golden/volume_empty.conf"), dir / "v.conf");
  server_conf s = sample_server();  // a load replaces what was there
  ASSERT_EQ(fill_server_config(dir.str(), s), 0);
  EXPECT_TRUE(fields(s) == fields(server_conf()));
  volume v = sample_volume();
  ASSERT_EQ(fill_volume_config(dir.str(), "v", v), 0);
  EXPECT_TRUE(fields(v) == fields(volume()));
}

// Texts that a line- or blank-oriented format would break.
std::vector<std::string> awkward_texts() {
  std::string binary("nul\0inside", 10);
  std::string long_text;
  for (int i = 0; i < 20000; ++i)
    long_text += "line " + std::to_string(i) + " \"q\" \\ \n";
  return {"",
          " ",
          "  blanks around  ",
          "line\nbreak",
          "\r\n",
          "\n\n",
          "ends with a line break\n",
          "\"double\" and 'single' quotes",
          "back\\slash\\",
          "tab\tinside",
          "\xd0\x92\xd0\x9c \xe2\x82\xac \xf0\x9f\x92\xbe",
          "22 serialization::archive 19",
          "0 0 0",
          "5 fake",
          binary,
          long_text};
}

TEST(ArchiveRoundTrip, AwkwardTextsInEveryFieldComeBackUnchanged) {
  kstest::LogCapture log;
  for (auto const& t : awkward_texts()) {
    SCOPED_TRACE(testing::Message() << "text of " << t.size() << " bytes: " << t.substr(0, 40));
    server_conf s;
    s.id = s.name = s.status = s.tenant_id = s.user_id = s.hostId = s.image = s.flavor_id = s.network_name =
        s.accessIPv4 = s.accessIPv6 = s.disk_config = s.availability_zone = s.config_drive = s.key_name =
            s.host = s.instance_name = s.hypervisor_hostname = s.hypervisor_type = s.hypervisor_ip = t;
    s.metadata = {{t, t}, {"k", t}};
    vm_address a;
    a.version = a.addr = a.addr_type = a.mac_addr = t;
    s.addresses = {a, a};
    s.security_groups = {t, "", t};
    s.attached_volumes = {t};

    volume v;
    v.id = v.status = v.size = v.availability_zone = v.name = v.description = v.volume_type = v.snapshot_id =
        v.source_volid = v.user_id = v.bootable = v.encrypted = v.replication_status = v.consistencygroup_id =
            v.multiattach = v.tenant_id = v.attached_device_name = t;
    v.metadata = {{t, ""}};
    volume_attachment att;
    att.attachment_id = att.host_name = att.device = t;
    v.attachments = {att};
    std::apply([&](auto&... f) { ((f = t), ...); }, image_fields(v.volume_image_metadata));

    kstest::TempDir dir;
    ASSERT_TRUE(save_server_config((dir / "vm.config").string(), s));
    ASSERT_TRUE(save_volume_config((dir / "x.conf").string(), v));
    server_conf s2;
    volume v2;
    ASSERT_EQ(fill_server_config(dir.str(), s2), 0) << log.text();
    ASSERT_EQ(fill_volume_config(dir.str(), "x", v2), 0) << log.text();
    EXPECT_TRUE(fields(s2) == fields(s));
    EXPECT_TRUE(fields(v2) == fields(v));
  }
}

TEST(ArchiveRoundTrip, VolumeWithoutMetadataOrAttachmentsKeepsTheDeviceName) {
  volume v;
  v.id = "vol";
  v.attached_device_name = "vdc";
  volume back;
  back.metadata = {{"stale", "pair"}};
  back.attachments.resize(2);
  from_archive_text(to_archive_text(v), back);
  EXPECT_TRUE(back.metadata.empty());
  EXPECT_TRUE(back.attachments.empty());
  EXPECT_EQ(back.attached_device_name, "vdc");
}

struct BadFile {
  char const* what;
  std::string content;
};

TEST(ArchiveLoad, DamagedOrForeignFilesFailWithSevenAndLeaveTheRecord) {
  std::string const good = golden_text("server_full.vm.config");
  std::string const newer = "22 serialization::archive 99" + good.substr(std::string("22 serialization::archive 19").size());
  BadFile const cases[] = {
      {"empty file", ""},
      {"not an archive", "hello world\n"},
      {"truncated in the middle", good.substr(0, good.size() / 2)},
      {"truncated inside a string", good.substr(0, good.find("web server") + 4)},
      {"newer archive format", newer},
      {"string length past the end", "22 serialization::archive 19 0 0 999999 short\n"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.what);
    kstest::LogCapture log;
    kstest::TempDir dir;
    kstest::write_file(dir / "vm.config", c.content);
    kstest::write_file(dir / "v1.conf", c.content);
    server_conf s;
    s.name = "kept";
    EXPECT_EQ(fill_server_config(dir.str(), s), 7);
    EXPECT_EQ(s.name, "kept");
    volume v;
    v.id = "kept";
    EXPECT_EQ(fill_volume_config(dir.str(), "v1", v), 7);
    EXPECT_EQ(v.id, "kept");
    EXPECT_TRUE(log.contains("int fill_server_config(const string&, server_conf&): exception:")) << log.text();
    EXPECT_TRUE(log.contains("int fill_volume_config(const string&, const string&, volume&): exception:"))
        << log.text();
  }
}

TEST(ArchiveLoad, MissingFilesNameThePath) {
  kstest::LogCapture log;
  kstest::TempDir dir;
  server_conf s;
  volume v;
  EXPECT_EQ(fill_server_config(dir.str(), s), 7);
  EXPECT_EQ(fill_volume_config(dir.str(), "vol-9", v), 7);
  std::string const text = log.text();
  EXPECT_NE(text.find("Error: int fill_server_config(const string&, server_conf&): " + dir.str() +
                      "/vm.config doesn't exist"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Error: int fill_volume_config(const string&, const string&, volume&): : " + dir.str() +
                      "/vol-9.conf doesn't exist"),
            std::string::npos)
      << text;
}

// A volume id of a saved description names a file inside the directory,
// never one beside or above it.
TEST(ArchiveLoad, VolumeIdsThatLeaveTheDirectoryAreRefused) {
  kstest::TempDir dir;
  fs::create_directories(dir / "d");
  volume saved;
  saved.id = "outside";
  ASSERT_TRUE(save_volume_config((dir / "outside.conf").string(), saved));
  ASSERT_TRUE(save_volume_config((dir / "d" / "x.conf").string(), saved));
  for (std::string const& id : {std::string("../outside"), std::string("x/../../outside"), std::string(".."),
                                std::string(""), std::string("x\n")}) {
    kstest::LogCapture log;
    volume v;
    v.id = "kept";
    EXPECT_EQ(fill_volume_config((dir / "d").string(), id, v), 7) << id;
    EXPECT_EQ(v.id, "kept") << id;
    EXPECT_TRUE(log.contains("Error: int fill_volume_config(const string&, const string&, volume&): the volume id \"" +
                             id.substr(0, id.find('\n'))))
        << log.text();
  }
}

TEST(ArchiveLoad, ADirectoryInPlaceOfTheFileIsAFilesystemError) {
  kstest::LogCapture log;
  kstest::TempDir dir;
  fs::create_directory(dir / "vm.config");
  server_conf s;
  EXPECT_EQ(fill_server_config(dir.str(), s), 7);
  EXPECT_TRUE(log.contains("int fill_server_config(const string&, server_conf&): ")) << log.text();
  EXPECT_FALSE(log.contains("doesn't exist")) << log.text();
}

}  // namespace
