// Block-storage operations of curlAPI against the stand-in cloud: volume
// description and status, snapshots, volumes from snapshots and images,
// deletions, and the detach and clean-up composites with their one-second
// polls. Replies the stand-in would not give by itself come from fault rules.
#include <set>
#include <string>
#include <vector>

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include "ops_cloud.h"
#include "rustack/curl_api.h"

namespace {

namespace sc = kstest::standard_cloud;
using kstest::LogCapture;
using kstest::Logged;

using Pairs = std::vector<std::pair<std::string, std::string>>;

class Volumes : public kstest::OpsCloudTest {
 protected:
  void SetUp() override {
    KS_REQUIRE_SANDBOX();
    OpsCloudTest::SetUp();
  }

  static void answer(char const* method, std::string const& path, std::string const& action) {
    fault(std::string("{\"method\": \"") + method + "\", \"path\": \"" + path + "\", " + action + "}");
  }

  static std::string spare_volume() { return add("volumes", R"({"size": 1})"); }

  // Volumes of the project attached to the Kestrova VM and in use.
  static std::set<std::string> attached_volumes(curlAPI& api, int count) {
    std::set<std::string> ids;
    for (int i = 0; i < count; ++i) {
      std::string const id = spare_volume();
      std::string device;
      EXPECT_EQ(api.attach_volume(sc::kestrova_vm, id, device), 0);
      std::string status;
      for (int read = 0; read < 5 && status != "in-use"; ++read)
        EXPECT_EQ(api.get_volume_status(sc::project, id, status), 0);
      EXPECT_EQ(status, "in-use");
      ids.insert(id);
    }
    return ids;
  }

  // Reads the status until it is `wanted` (the stand-in moves on per read).
  static void await(curlAPI& api, bool snapshot, std::string const& id, char const* wanted) {
    std::string status;
    for (int read = 0; read < 5 && status != wanted; ++read) {
      int const rc = snapshot ? api.get_snapshot_status(sc::project, id, status)
                              : api.get_volume_status(sc::project, id, status);
      ASSERT_EQ(rc, 0);
    }
    ASSERT_EQ(status, wanted);
  }

  static std::vector<Logged> requests_to(std::string const& path_part) {
    std::vector<Logged> out;
    for (auto const& r : requests())
      if (r.path.find(path_part) != std::string::npos)
        out.push_back(r);
    return out;
  }

  static std::vector<std::string> ids_of(char const* kind) {
    std::vector<std::string> out;
    auto const inventory = cloud().inventory();
    for (auto const& o : inventory.at(kind).as_array())
      out.emplace_back(o.at("id").as_string());
    return out;
  }
};

struct ReplyCase {
  char const* what;
  std::string action;  // fault rule members giving the reply; empty: the stand-in answers
  int code;
  char const* log;
};

std::string const kDetach = std::string("/nova-api/v2/servers/") + sc::kestrova_vm + "/os-volume_attachments/";

// -------------------------------------------------------- volume description

TEST_F(Volumes, VolumeInfoReadsEveryField) {
  volume record;
  record.snapshot_id = record.source_volid = record.replication_status = record.consistencygroup_id = "kept";
  record.attached_device_name = "vdb";
  curlAPI api(settings);
  ASSERT_EQ(api.get_volume_info(sc::project, sc::web_root, record), 0) << log.text();

  auto const inv = find("volumes", sc::web_root).as_object();
  EXPECT_EQ(record.id, sc::web_root);
  EXPECT_EQ(record.status, "in-use");
  EXPECT_EQ(record.size, "4");
  EXPECT_EQ(record.availability_zone, "nova");
  EXPECT_EQ(record.name, "web-root");
  EXPECT_EQ(record.description, "root disk of web");
  EXPECT_EQ(record.volume_type, "__DEFAULT__");
  EXPECT_EQ(record.metadata, (Pairs{{"purpose", "root"}}));
  EXPECT_EQ(record.user_id, inv.at("user_id").as_string());
  EXPECT_EQ(record.bootable, "true");
  EXPECT_EQ(record.encrypted, "false");
  EXPECT_EQ(record.multiattach, "false");
  EXPECT_EQ(record.tenant_id, sc::project);
  // null members leave the fields as they were
  EXPECT_EQ(record.snapshot_id, "kept");
  EXPECT_EQ(record.source_volid, "kept");
  EXPECT_EQ(record.replication_status, "kept");
  EXPECT_EQ(record.consistencygroup_id, "kept");
  ASSERT_EQ(record.attachments.size(), 1u);
  EXPECT_EQ(record.attachments[0].attachment_id, inv.at("attachment").at("id").as_string());
  EXPECT_EQ(record.attachments[0].host_name, "");
  EXPECT_EQ(record.attachments[0].device, "/dev/vda");
  auto const& image = record.volume_image_metadata;
  EXPECT_EQ(image.image_type, "image");
  EXPECT_EQ(image.distro, "debian");
  EXPECT_EQ(image.hw_vif_model, "virtio");
  EXPECT_EQ(image.hw_qemu_guest_agent, "yes");
  EXPECT_EQ(image.hw_disk_bus, "virtio");
  EXPECT_EQ(image.hw_scsi_model, "virtio-scsi");
  EXPECT_EQ(image.image_id, sc::image);
  EXPECT_EQ(image.image_name, "debian-12");
  EXPECT_EQ(image.checksum, "0d3b2c1a9f8e7d6c5b4a39281706f5e4");
  EXPECT_EQ(image.container_format, "bare");
  EXPECT_EQ(image.disk_format, "qcow2");
  EXPECT_EQ(image.min_disk, "0");
  EXPECT_EQ(image.min_ram, "0");
  EXPECT_EQ(image.size, "4096");
  EXPECT_EQ(record.attached_device_name, "vdb");

  auto const r = requests();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].method, "GET");
  EXPECT_EQ(r[0].path, cinder("/volumes/") + sc::web_root);
  EXPECT_EQ(r[0].token_scope, "project");
}

TEST_F(Volumes, VolumeInfoOfNullEmptyAndOddValues) {
  std::string const id = add("volumes", R"({"size": 3, "metadata": {"k": "a\"b\\c", "plain": "v"}})");
  volume record;
  record.name = record.description = "kept";
  curlAPI api(settings);
  ASSERT_EQ(api.get_volume_info(sc::project, id, record), 0) << log.text();
  EXPECT_EQ(record.name, "kept");
  EXPECT_EQ(record.description, "kept");
  EXPECT_EQ(record.size, "3");
  EXPECT_TRUE(record.attachments.empty());
  EXPECT_TRUE(log.contains(": volume attachments array is empty"));
  // String values keep their characters, so that writing them again gives them back.
  EXPECT_EQ(record.metadata, (Pairs{{"k", "a\"b\\c"}, {"plain", "v"}}));

  // Older clouds send no volume type; a volume made without a zone has none.
  cloud().set_object("volumes", id, {{"volume_type", nullptr}, {"availability_zone", nullptr}});
  record.volume_type = record.availability_zone = "kept";
  EXPECT_EQ(api.get_volume_info(sc::project, id, record), 0) << log.text();
  EXPECT_EQ(record.volume_type, "kept");
  EXPECT_EQ(record.availability_zone, "kept");
  EXPECT_EQ(record.size, "3");
  answer("GET", ".*/volumes/.*", R"("patch": {"volume": {"volume_type": 7}})");
  EXPECT_EQ(api.get_volume_info(sc::project, id, record), 6);
  EXPECT_TRUE(log.contains("int curlAPI::get_volume_info(const string&, const string&, volume&): exception:"));

  cloud().set_object("volumes", id, {{"volume_type", "__DEFAULT__"}, {"volume_image_metadata", boost::json::object()}});
  EXPECT_EQ(api.get_volume_info(sc::project, id, record), 6);
  EXPECT_TRUE(log.contains(": json object value is empty. Expected volume image metadata"));
}

TEST_F(Volumes, VolumeInfoFailures) {
  ReplyCase const cases[] = {
      {"unknown volume", "", 6, ": returned code: 404, error message: \"Volume no-such could not be found.\""},
      {"metadata not an object", R"("body": {"volume": {"metadata": []}})", 6,
       ": json value is not an object: volume metadata"},
      {"attachments not an array", R"("body": {"volume": {"attachments": {}}})", 6,
       ": json is not an array of volume attachments"},
      {"attachment not an object", R"("body": {"volume": {"attachments": [1]}})", 6,
       ": json value is not an object: volume attachment"},
      {"empty attachment", R"("body": {"volume": {"attachments": [{}]}})", 6,
       ": json object value is empty. Expected volume attachment info"},
      {"image metadata not an object", R"("body": {"volume": {"volume_image_metadata": "x"}})", 6,
       ": json value is not an object: volume image metadata"},
      // Ids that would start a line of their own fail the description.
      {"volume id with a line end", R"("body": {"volume": {"id": "v\nMAIN SNAPSHOT FILENAME:/forged"}})", 6,
       ": the volume id in the reply is not a plain id: \"v\\nMAIN SNAPSHOT FILENAME:/forged\""},
      {"snapshot id with a NEL", R"("body": {"volume": {"id": "v", "snapshot_id": "s\u0085x"}})", 6,
       ": the snapshot id in the reply is not a plain id: \"s\\xc2\\x85x\""},
      {"attachment id with a line end",
       R"("body": {"volume": {"id": "v", "attachments": [{"attachment_id": "a\nb", "device": "/dev/vdb"}]}})", 6,
       ": the attachment id in the reply is not a plain id: \"a\\nb\""},
      {"volume not an object", R"("body": {"volume": []})", 6, ": json value is not a 'volume' object"},
      {"empty volume", R"("body": {"volume": {}})", 6, ": json object is empty. Expected volume info"},
      {"empty object", R"("body": {})", 6, ": volume object is empty"},
      {"no volume member", R"("body": {"volumes": []})", 6, ": server returned not a 'volume' object"},
      {"not JSON", R"("raw_body": "oops")", 6, ": json: "},
      {"connection dropped", R"("drop": true, "times": 0)", 6, ": exception:"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.what);
    cloud().reset();
    LogCapture log;
    if (!c.action.empty())
      answer("GET", ".*/volumes/.*", c.action);
    curlAPI api(settings);
    volume record;
    EXPECT_EQ(api.get_volume_info(sc::project, "no-such", record), c.code);
    EXPECT_TRUE(log.contains(c.log)) << log.text();
  }
}

// ---------------------------------------------------- volume and snapshot status

TEST_F(Volumes, StatusFailuresLeaveNoStatus) {
  struct Case {
    bool snapshot;
    ReplyCase reply;
  };
  Case const cases[] = {
      {false, {"unknown volume", "", 6, ": returned code: 404"}},
      {false, {"no status", R"("body": {"volume": {"id": "x"}})", 6, ": volume object holds no status"}},
      {false, {"empty volume", R"("body": {"volume": {}})", 6, ": json object is empty. Expected volume info"}},
      {false, {"volume not an object", R"("body": {"volume": 1})", 6, ": json value is not a 'volume' object"}},
      {false,
       {"empty object", R"("body": {})", 6,
        "int curlAPI::get_volume_status(const string&, const string&, string&): volume object is empty"}},
      {false, {"status not a string", R"("body": {"volume": {"status": null}})", 6, ": exception:"}},
      {false, {"connection dropped", R"("drop": true, "times": 0)", 6, ": exception:"}},
      {true, {"unknown snapshot", "", 6, ": returned code: 404"}},
      {true, {"no status", R"("body": {"snapshot": {"id": "x"}})", 6, ": snapshot object holds no status"}},
      {true, {"empty snapshot", R"("body": {"snapshot": {}})", 6, ": json object is empty. Expected snapshot info"}},
      {true, {"snapshot not an object", R"("body": {"snapshot": 1})", 6, ": json value is not an object"}},
      {true,
       {"empty object", R"("body": {})", 6,
        "int curlAPI::get_snapshot_status(const string&, const string&, string&): snapshot object is empty"}},
      {true, {"not JSON", R"("raw_body": "oops")", 6, ": json: "}},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(std::string(c.snapshot ? "snapshot: " : "volume: ") + c.reply.what);
    cloud().reset();
    LogCapture log;
    if (!c.reply.action.empty())
      answer("GET", c.snapshot ? ".*/snapshots/.*" : ".*/volumes/.*", c.reply.action);
    curlAPI api(settings);
    std::string status = "available";
    int const rc = c.snapshot ? api.get_snapshot_status(sc::project, "no-such", status)
                              : api.get_volume_status(sc::project, "no-such", status);
    EXPECT_EQ(rc, c.reply.code);
    EXPECT_EQ(status, "") << "a failed read must not leave an earlier status";
    EXPECT_TRUE(log.contains(c.reply.log)) << log.text();
  }
}

// ---------------------------------------------------------------- snapshots

TEST_F(Volumes, CreateSnapshotSendsTheBodyAndTheSnapshotBecomesAvailable) {
  volume source;
  source.id = sc::web_data;
  source.name = "web-data";
  curlAPI api(settings);
  std::string id = "stale";
  ASSERT_EQ(api.create_snapshot(sc::project, "copy-7", source, id), 0) << log.text();
  EXPECT_TRUE(log.contains(std::string("Creating a snapshot for volume '") + sc::web_data + "' ...\n"));
  auto const r = requests();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].method, "POST");
  EXPECT_EQ(r[0].path, cinder("/snapshots"));
  EXPECT_EQ(r[0].body, std::string(R"({"snapshot": {"name": "snapshot-web-data", "description": "copy-7", )") +
                           R"("volume_id": ")" + sc::web_data + R"(", "force": true}})");
  ASSERT_FALSE(find("snapshots", id).is_null()) << "the id must be the new snapshot's";
  EXPECT_EQ(find("snapshots", id).at("volume_id").as_string(), sc::web_data);

  std::string status;
  ASSERT_EQ(api.get_snapshot_status(sc::project, id, status), 0);
  EXPECT_EQ(status, "creating");
  ASSERT_EQ(api.get_snapshot_status(sc::project, id, status), 0);
  EXPECT_EQ(status, "available");
  EXPECT_EQ(requests().back().path, cinder("/snapshots/") + id);
}

// The request after a lazy login must not ride on the login's connection:
// libcurl silently resends a request whose reused connection died, and a
// resent POST could create a second snapshot.
TEST_F(Volumes, APostWhoseConnectionDiesIsNotSentTwice) {
  answer("POST", "/cinder/.*/snapshots", R"("drop": true, "times": 1)");
  volume source;
  source.id = sc::web_data;
  source.name = "web-data";
  curlAPI api(settings);
  std::string id;
  EXPECT_NE(api.create_snapshot(sc::project, "once", source, id), 0);
  int posts = 0;
  for (auto const& e : cloud().request_log())
    if (e.at("method") == "POST" && e.at("path").as_string().ends_with("/snapshots")) ++posts;
  EXPECT_EQ(posts, 1);
  EXPECT_TRUE(id.empty());
}

TEST_F(Volumes, CreateSnapshotNamesAndDescriptionsReachTheCloudUnchanged) {
  struct Case {
    std::string volume_name;
    std::string description;
    std::string snapshot_name;
  };
  Case const cases[] = {
      {"", "d", "snapshot-"},
      {"we\"b\\data", "co\"py\\ \"}, \"x\": {\"", "snapshot-we\"b\\data"},
      {"tab\there", "line\nbreak", "snapshot-tab\there"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.snapshot_name);
    volume source;
    source.id = sc::web_data;
    source.name = c.volume_name;
    curlAPI api(settings);
    std::string id;
    ASSERT_EQ(api.create_snapshot(sc::project, c.description, source, id), 0) << log.text();
    auto const snapshot = find("snapshots", id);
    ASSERT_FALSE(snapshot.is_null());
    EXPECT_EQ(snapshot.at("name").as_string(), c.snapshot_name);
    EXPECT_EQ(snapshot.at("description").as_string(), c.description);
  }
}

TEST_F(Volumes, CreateSnapshotFailuresLeaveNoId) {
  ReplyCase const cases[] = {
      {"unknown volume", "", 6, ": returned code: 404, error message: \"Volume no-such could not be found.\""},
      {"snapshot without id", R"("status": 202, "body": {"snapshot": {"name": "x"}})", 6,
       ": got empty ID for created snapshot"},
      {"id with a line end", R"("status": 202, "body": {"snapshot": {"id": "s\nMAIN SNAPSHOT FILENAME:/forged"}})", 6,
       ": the snapshot id in the reply is not a plain id: \"s\\nMAIN SNAPSHOT FILENAME:/forged\""},
      {"snapshot not an object", R"("status": 202, "body": {"snapshot": "s"})", 6, ": json value is not an object"},
      {"empty snapshot", R"("status": 202, "body": {"snapshot": {}})", 6,
       ": json object is empty. Expected snapshot info"},
      {"empty object", R"("status": 202, "body": {})", 6,
       "int curlAPI::create_snapshot(const string&, const string&, const volume&, string&): snapshot object is "
       "empty"},
      {"member that is no error object", R"("status": 202, "body": {"x": 1})", 6,
       ": server returned not a 'snapshot' object"},
      {"connection dropped", R"("drop": true, "times": 0)", 6, ": exception:"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.what);
    cloud().reset();
    LogCapture log;
    if (!c.action.empty())
      answer("POST", ".*/snapshots", c.action);
    volume source;
    source.id = "no-such";
    curlAPI api(settings);
    std::string id = "old-id";
    EXPECT_EQ(api.create_snapshot(sc::project, "d", source, id), c.code);
    EXPECT_EQ(id, "");
    EXPECT_TRUE(log.contains(c.log)) << log.text();
  }
}

// ------------------------------------------------------------------ volumes

TEST_F(Volumes, CreateVolumeFromASnapshot) {
  std::string const snapshot = add("snapshots", std::string(R"({"volume_id": ")") + sc::web_data + "\"}");
  curlAPI api(settings);
  volume description;
  ASSERT_EQ(api.get_volume_info(sc::project, sc::web_data, description), 0);
  cloud().clear_log();
  std::string id = "stale";
  ASSERT_EQ(api.create_volume(description, id, snapshot), 0) << log.text();
  auto const r = requests();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].method, "POST");
  EXPECT_EQ(r[0].path, cinder("/volumes"));
  EXPECT_EQ(r[0].body, R"({"volume": {"size": 2, "availability_zone": "nova", "snapshot_id": ")" + snapshot +
                           R"(", "description": "Based on snapshot )" + snapshot +
                           R"(", "volume_type": "__DEFAULT__", "consistencygroup_id": null, "name": "web-data"}})");
  await(api, false, id, "available");
  auto const made = find("volumes", id);
  EXPECT_EQ(made.at("snapshot_id").as_string(), snapshot);
  EXPECT_EQ(made.at("size").as_int64(), 2);
}

TEST_F(Volumes, CreateBootableVolumeFromTheSavedImage) {
  curlAPI api(settings);
  volume description;
  ASSERT_EQ(api.get_volume_info(sc::project, sc::web_root, description), 0);
  cloud().clear_log();
  std::string id;
  ASSERT_EQ(api.create_volume(description, id, ""), 0) << log.text();
  EXPECT_EQ(requests().at(0).body,
            std::string(R"({"volume": {"size": 4, "availability_zone": "nova", "imageRef": ")") + sc::image +
                R"(", "description": "root disk of web", "metadata": {"purpose": "root"}, )"
                R"("volume_type": "__DEFAULT__", "consistencygroup_id": null, "name": "web-root"}})");
  await(api, false, id, "available");
  auto const made = find("volumes", id);
  EXPECT_TRUE(made.at("bootable").as_bool());
  EXPECT_EQ(made.at("volume_image_metadata").at("image_id").as_string(), sc::image);
  EXPECT_EQ(made.at("metadata"), boost::json::parse(R"({"purpose": "root"})"));
}

TEST_F(Volumes, CreateVolumeBodyVariants) {
  struct Case {
    char const* what;
    std::string bootable;
    std::string description;
    Pairs metadata;
    std::string snapshot;
    std::string zone;
    std::string middle;  // the body between the zone and the volume type
  };
  Case const cases[] = {
      {"not bootable", "false", "D", {{"K", "V"}}, "", "Z", R"(, "description": "D", "metadata": {"K": "V"})"},
      {"bootable, no description, no metadata", "true", "", {}, "", "Z",
       R"(, "imageRef": "I", "description": null, "metadata": {})"},
      {"bootable is exactly true", "True", "D", {}, "", "Z", R"(, "description": "D", "metadata": {})"},
      {"empty and null-like metadata values stay strings", "false", "D", {{"a", ""}, {"b", "null"}}, "", "Z",
       R"(, "description": "D", "metadata": {"a": "", "b": "null"})"},
      {"copy of a snapshot", "true", "D", {{"K", "V"}}, "S", "",
       R"(, "snapshot_id": "S", "description": "Based on snapshot S")"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.what);
    cloud().reset();
    answer("POST", ".*/volumes", R"("status": 202, "body": {"volume": {"id": "new"}})");
    volume description;
    description.size = "10";
    description.availability_zone = c.zone;
    description.bootable = c.bootable;
    description.volume_image_metadata.image_id = "I";
    description.description = c.description;
    description.metadata = c.metadata;
    description.volume_type = "T";
    description.name = "N";
    description.tenant_id = sc::project;
    curlAPI api(settings);
    std::string id;
    ASSERT_EQ(api.create_volume(description, id, c.snapshot), 0);
    EXPECT_EQ(id, "new");
    std::string const zone = c.zone.empty() ? "null" : "\"" + c.zone + "\"";
    EXPECT_EQ(requests().at(0).body, R"({"volume": {"size": 10, "availability_zone": )" + zone + c.middle +
                                         R"(, "volume_type": "T", "consistencygroup_id": null, "name": "N"}})");
  }
}

TEST_F(Volumes, CreateVolumeEscapesQuotesAndBackslashes) {
  volume description;
  description.size = "1";
  description.name = "n\"a\\me";
  description.description = "d\"e\\sc \"}, \"size\": 99, \"x\": {\"";
  description.metadata = {{"k\"", "v\\"}, {"plain", "x"}};
  description.tenant_id = sc::project;
  curlAPI api(settings);
  std::string id;
  ASSERT_EQ(api.create_volume(description, id, ""), 0) << log.text();
  auto const made = find("volumes", id);
  ASSERT_FALSE(made.is_null());
  EXPECT_EQ(made.at("name").as_string(), description.name);
  EXPECT_EQ(made.at("description").as_string(), description.description);
  EXPECT_EQ(made.at("size").as_int64(), 1);
  EXPECT_EQ(made.at("metadata"), boost::json::parse(R"({"k\"": "v\\", "plain": "x"})"));

  // A snapshot id the stand-in would refuse: checked in the body itself.
  answer("POST", ".*/volumes", R"("status": 202, "body": {"volume": {"id": "new"}})");
  ASSERT_EQ(api.create_volume(description, id, "S\"1\\"), 0);
  boost::json::value body;
  ASSERT_NO_THROW(body = boost::json::parse(requests().back().body)) << requests().back().body;
  EXPECT_EQ(body.at("volume").at("snapshot_id").as_string(), "S\"1\\");
  EXPECT_EQ(body.at("volume").at("description").as_string(), "Based on snapshot S\"1\\");
}

TEST_F(Volumes, CreateVolumeRefusesWhatCannotBeSent) {
  struct Case {
    std::string size;
    std::string tenant;
    char const* log;
  };
  Case const cases[] = {
      {"", sc::project, ": invalid volume size ''"},
      {"1.5", sc::project, ": invalid volume size '1.5'"},
      {"2, \"imageRef\": \"x\"", sc::project, ": invalid volume size '2, \"imageRef\": \"x\"'"},
      {"-1", sc::project, ": invalid volume size '-1'"},
      {"1", "", "int curlAPI::create_volume(const volume&, string&, string): empty project id"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.size + " / " + c.tenant);
    LogCapture log;
    volume description;
    description.size = c.size;
    description.tenant_id = c.tenant;
    curlAPI api(settings);
    std::string id = "old-id";
    EXPECT_EQ(api.create_volume(description, id, ""), 6);
    EXPECT_EQ(id, "");
    EXPECT_TRUE(log.contains(c.log)) << log.text();
  }
  EXPECT_TRUE(requests(true).empty());
}

TEST_F(Volumes, CreateVolumeFailuresLeaveNoId) {
  ReplyCase const cases[] = {
      {"unknown volume type", "", 6,
       ": returned code: 404, error message: \"Volume type with name gold could not be found.\""},
      {"volume without id", R"("status": 202, "body": {"volume": {"name": "x"}})", 6,
       ": got empty ID for created volume"},
      {"id with a line end", R"("status": 202, "body": {"volume": {"id": "v\nMAIN SNAPSHOT FILENAME:/forged"}})", 6,
       ": the volume id in the reply is not a plain id: \"v\\nMAIN SNAPSHOT FILENAME:/forged\""},
      {"volume not an object", R"("status": 202, "body": {"volume": []})", 6, ": json value is not an object"},
      {"empty volume", R"("status": 202, "body": {"volume": {}})", 6, ": json object is empty. Expected volume info"},
      {"empty object", R"("status": 202, "body": {})", 6,
       "int curlAPI::create_volume(const volume&, string&, string): volume object is empty"},
      {"member that is no error object", R"("status": 202, "body": {"x": 1})", 6,
       ": server returned not a 'volume' object"},
      {"not JSON", R"("raw_body": "oops")", 6, ": json: "},
      {"connection dropped", R"("drop": true, "times": 0)", 6, ": exception:"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.what);
    cloud().reset();
    LogCapture log;
    if (!c.action.empty())
      answer("POST", ".*/volumes", c.action);
    volume description;
    description.size = "1";
    description.volume_type = "gold";
    description.tenant_id = sc::project;
    curlAPI api(settings);
    std::string id = "old-id";
    EXPECT_EQ(api.create_volume(description, id, ""), c.code);
    EXPECT_EQ(id, "");
    EXPECT_TRUE(log.contains(c.log)) << log.text();
  }
}

// ------------------------------------------------------------ volume actions

TEST_F(Volumes, SetBootableMarksTheVolumeBootableAndBack) {
  std::string const id = spare_volume();
  curlAPI api(settings);
  ASSERT_EQ(api.set_volume_bootable(sc::project, id, true), 0) << log.text();
  EXPECT_TRUE(find("volumes", id).at("bootable").as_bool());
  volume record;
  ASSERT_EQ(api.get_volume_info(sc::project, id, record), 0);
  EXPECT_EQ(record.bootable, "true");
  ASSERT_EQ(api.set_volume_bootable(sc::project, id, false), 0) << log.text();
  EXPECT_FALSE(find("volumes", id).at("bootable").as_bool());
  auto const r = requests_to("/action");
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].method, "POST");
  EXPECT_EQ(r[0].path, cinder("/volumes/" + id + "/action"));
  EXPECT_EQ(r[0].body, R"({"os-set_bootable": {"bootable": true}})");
  EXPECT_EQ(r[0].token_scope, "project");
  EXPECT_EQ(r[0].status, 200);
  EXPECT_EQ(r[1].body, R"({"os-set_bootable": {"bootable": false}})");
}

TEST_F(Volumes, SetBootableFailures) {
  ReplyCase const cases[] = {
      {"unknown volume", "", 6, ": returned code: 404, error message: \"Volume no-such could not be found.\""},
      {"refused", R"("status": 400, "body": {"badRequest": {"code": 400, "message": "Invalid volume"}})", 6,
       ": returned code: 400, error message: \"Invalid volume\""},
      {"empty reply with an error code", R"("status": 500, "raw_body": "")", 6,
       ": got an empty reply with HTTP code 500"},
      {"reply that is no error", R"("status": 200, "body": {"x": 1})", 6, ": got non empty reply from server"},
      {"not JSON", R"("status": 200, "raw_body": "oops")", 6, ": json: "},
      {"connection dropped", R"("drop": true, "times": 0)", 6,
       "int curlAPI::set_volume_bootable(const string&, const string&, bool): exception:"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.what);
    cloud().reset();
    LogCapture log;
    if (!c.action.empty())
      answer("POST", ".*/action", c.action);
    curlAPI api(settings);
    EXPECT_EQ(api.set_volume_bootable(sc::project, "no-such", true), c.code);
    EXPECT_TRUE(log.contains(c.log)) << log.text();
  }
  cloud().clear_log();
  curlAPI api(settings);
  EXPECT_EQ(api.set_volume_bootable(sc::project, "", true), 6);
  EXPECT_EQ(api.set_volume_bootable("", sc::web_data, true), 6);
  EXPECT_TRUE(requests().empty());
}

// ---------------------------------------------------------------- deletions

TEST_F(Volumes, DeleteVolumeAndSnapshotRemoveThem) {
  for (bool const snapshot : {false, true}) {
    SCOPED_TRACE(snapshot ? "snapshot" : "volume");
    cloud().reset();
    LogCapture log;
    std::string const id =
        snapshot ? add("snapshots", std::string(R"({"volume_id": ")") + sc::web_data + "\"}") : spare_volume();
    curlAPI api(settings);
    ASSERT_EQ(snapshot ? api.delete_snapshot(sc::project, id) : api.delete_volume(sc::project, id), 0) << log.text();
    EXPECT_TRUE(find(snapshot ? "snapshots" : "volumes", id).is_null());
    std::string const noun = snapshot ? "snapshot" : "volume";
    EXPECT_TRUE(log.contains("Removing " + noun + " '" + id + "' ...\n")) << log.text();
    EXPECT_TRUE(log.contains(std::string(snapshot ? "Snapshot '" : "Volume '") + id + "' was removed successfully\n"));
    auto const r = requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].method, "DELETE");
    EXPECT_EQ(r[0].path, cinder(snapshot ? "/snapshots/" : "/volumes/") + id);
    EXPECT_EQ(r[0].body, "");
  }
}

TEST_F(Volumes, DeleteJudgesEmptyRepliesByTheirStatus) {
  ReplyCase const cases[] = {
      {"refused by the cloud", "", 6, ": returned code: 400, error message: \"Invalid "},
      {"204, empty", R"("status": 204)", 0, "was removed successfully"},
      {"500, empty", R"("status": 500, "raw_body": "")", 6, ": got an empty reply with HTTP code 500"},
      {"404, empty", R"("status": 404, "raw_body": "")", 6, ": got an empty reply with HTTP code 404"},
      {"empty object", R"("status": 200, "body": {})", 6, ": error message object is empty"},
      {"no error object", R"("status": 200, "body": {"a": 1})", 6, ": got non empty reply from server"},
      {"connection dropped", R"("drop": true, "times": 0)", 6, ": exception:"},
  };
  for (bool const snapshot : {false, true}) {
    for (auto const& c : cases) {
      SCOPED_TRACE(std::string(snapshot ? "snapshot: " : "volume: ") + c.what);
      cloud().reset();
      LogCapture log;
      // Objects the cloud refuses to delete: a volume in use, a snapshot
      // still being made.
      std::string const id =
          snapshot ? add("snapshots", std::string(R"({"volume_id": ")") + sc::web_data + R"(", "status": "creating"})")
                   : std::string(sc::web_data);
      if (!c.action.empty())
        answer("DELETE", snapshot ? ".*/snapshots/.*" : ".*/volumes/.*", c.action);
      curlAPI api(settings);
      EXPECT_EQ(snapshot ? api.delete_snapshot(sc::project, id) : api.delete_volume(sc::project, id), c.code);
      EXPECT_TRUE(log.contains(c.log)) << log.text();
      EXPECT_FALSE(find(snapshot ? "snapshots" : "volumes", id).is_null());
    }
  }
}

// ------------------------------------------------------------ detach_volumes

TEST_F(Volumes, DetachVolumesDetachesInIdOrderAndWaitsUntilAvailable) {
  curlAPI api(settings);
  auto const ids = attached_volumes(api, 2);
  cloud().clear_log();
  // Each volume shows "detaching" on its first read and "available" on the next.
  ASSERT_EQ(api.detach_volumes(sc::project, ids, sc::kestrova_vm), 0) << log.text();

  std::string const a = *ids.begin();
  std::string const b = *ids.rbegin();
  std::vector<std::string> seen;
  for (auto const& r : requests())
    seen.push_back(r.method + " " + r.path);
  EXPECT_EQ(seen, (std::vector<std::string>{"DELETE " + kDetach + a, "GET " + cinder("/volumes/") + a,
                                            "GET " + cinder("/volumes/") + a, "DELETE " + kDetach + b,
                                            "GET " + cinder("/volumes/") + b, "GET " + cinder("/volumes/") + b}));
  for (auto const& id : ids) {
    EXPECT_EQ(status_of("volumes", id), "available");
    EXPECT_TRUE(find("volumes", id).at("attachment").is_null());
    EXPECT_TRUE(log.contains("Wait while the detached volume '" + id + "' changes its state to 'available' ...\n"));
  }
}

TEST_F(Volumes, DetachVolumesWaitsAtMostTheConfiguredPolls) {
  struct Case {
    int reads_detaching;  // reads that still show "detaching"
    int rc;
  };
  for (Case const c : {Case{2, 0}, Case{3, 2}}) {
    SCOPED_TRACE(c.reads_detaching);
    cloud().reset();
    LogCapture log;
    settings.volume_attachment_timeout = 3;
    curlAPI api(settings);
    std::string const id = *attached_volumes(api, 1).begin();
    cloud().set_polls({{"volume_detach", c.reads_detaching}});
    cloud().clear_log();
    EXPECT_EQ(api.detach_volumes(sc::project, {id}, sc::kestrova_vm), c.rc);
    EXPECT_EQ(requests_to(cinder("/volumes/")).size(), 3u) << "three polls, no more";
    std::string const timeout_line = std::string("int curlAPI::detach_volumes(const string&, const std::set<") +
                                     "std::__cxx11::basic_string<char> >&, const string&): unable to detach volume: '" +
                                     id + "' from server: '" + sc::kestrova_vm + "'. Break by timeout 3";
    EXPECT_EQ(log.contains(timeout_line), c.rc != 0) << log.text();
  }
}

TEST_F(Volumes, DetachVolumesWithoutAUsableBoundWaitsTheDefault) {
  settings.volume_attachment_timeout = 0;
  curlAPI api(settings);
  auto const ids = attached_volumes(api, 1);
  EXPECT_EQ(api.detach_volumes(sc::project, ids, sc::kestrova_vm), 0);
  EXPECT_TRUE(log.contains("volume_attachment_timeout")) << log.text();
  EXPECT_TRUE(log.contains("300")) << log.text();
  EXPECT_EQ(status_of("volumes", *ids.begin()), "available");
}

TEST_F(Volumes, DetachVolumesOutlivesAnExpiredToken) {
  cloud().set_polls({{"volume_detach", 0}});
  curlAPI api(settings);
  auto const ids = attached_volumes(api, 1);
  cloud().expire_tokens("project");
  EXPECT_EQ(api.detach_volumes(sc::project, ids, sc::kestrova_vm), 0) << log.text();
  EXPECT_EQ(status_of("volumes", *ids.begin()), "available");
}

TEST_F(Volumes, DetachVolumesGoesOnAfterAFailure) {
  cloud().set_polls({{"volume_detach", 0}});
  curlAPI api(settings);
  auto const ids = attached_volumes(api, 2);
  std::string const a = *ids.begin();
  std::string const b = *ids.rbegin();

  answer("DELETE", ".*/os-volume_attachments/" + a, R"("status": 409)");
  EXPECT_EQ(api.detach_volumes(sc::project, ids, sc::kestrova_vm), 2);
  EXPECT_TRUE(log.contains(": unable to detach volume '" + a + "' from server '" + sc::kestrova_vm + "'"))
      << log.text();
  EXPECT_EQ(status_of("volumes", a), "in-use");
  EXPECT_EQ(status_of("volumes", b), "available");

  // A status read that fails ends the wait for that volume.
  answer("GET", ".*/volumes/" + a, R"("status": 500)");
  EXPECT_EQ(api.detach_volumes(sc::project, {a}, sc::kestrova_vm), 2);
  EXPECT_TRUE(log.contains(": unable to get status of volume: '" + a + "'")) << log.text();
}

// A detach that ends in an error state never becomes available: the wait
// for it ends at once with a line that names the volume and the server, and
// the next volume is still detached.
TEST_F(Volumes, DetachVolumesStopsAtADetachThatEndsInError) {
  settings.volume_attachment_timeout = 5;
  curlAPI api(settings);
  auto const ids = attached_volumes(api, 2);
  std::string const a = *ids.begin();
  std::string const b = *ids.rbegin();
  answer("DELETE", ".*/os-volume_attachments/" + a, R"("state": "error")");
  cloud().clear_log();
  EXPECT_EQ(api.detach_volumes(sc::project, ids, sc::kestrova_vm), 2);
  EXPECT_TRUE(log.contains(": the detach of volume '" + a + "' from server '" + sc::kestrova_vm +
                           "' ended in the state error"))
      << log.text();
  EXPECT_FALSE(log.contains("Break by timeout")) << log.text();
  // Detaching on its first read, in error on the next: two reads, not five.
  EXPECT_EQ(requests_to(cinder("/volumes/") + a).size(), 2u);
  EXPECT_EQ(status_of("volumes", a), "error");
  EXPECT_EQ(status_of("volumes", b), "available");
}

TEST_F(Volumes, NothingToCleanSendsNothing) {
  curlAPI api(settings);
  EXPECT_EQ(api.detach_volumes(sc::project, {}, sc::kestrova_vm), 0);
  api.remove_volumes(sc::project, {});
  api.detach_and_remove_volumes(sc::project, {}, sc::kestrova_vm);
  api.clean_after_backup(sc::project, {}, {}, sc::kestrova_vm);
  EXPECT_TRUE(requests(true).empty()) << "not even a login";
}

// ------------------------------------------------------------------ clean-up

TEST_F(Volumes, CleanAfterBackupLeavesNothingBehind) {
  auto const seed_volumes = ids_of("volumes");
  auto const seed_attachments = cloud().inventory().at("attachments");
  cloud().set_polls({{"volume_detach", 0}});
  curlAPI api(settings);

  // What a backup makes: a snapshot of each volume of the server, a volume of
  // each snapshot, attached to the Kestrova VM.
  std::vector<std::string> snapshots;
  std::set<std::string> volumes;
  for (char const* source_id : {sc::web_root, sc::web_data}) {
    volume source;
    ASSERT_EQ(api.get_volume_info(sc::project, source_id, source), 0);
    std::string snapshot;
    ASSERT_EQ(api.create_snapshot(sc::project, "backup-1", source, snapshot), 0);
    await(api, true, snapshot, "available");
    snapshots.push_back(snapshot);
    std::string copy;
    ASSERT_EQ(api.create_volume(source, copy, snapshot), 0);
    await(api, false, copy, "available");
    std::string device;
    ASSERT_EQ(api.attach_volume(sc::kestrova_vm, copy, device), 0);
    await(api, false, copy, "in-use");
    volumes.insert(copy);
  }
  ASSERT_EQ(ids_of("snapshots").size(), 2u);

  api.clean_after_backup(sc::project, snapshots, volumes, sc::kestrova_vm);
  EXPECT_TRUE(ids_of("snapshots").empty()) << log.text();
  EXPECT_EQ(ids_of("volumes"), seed_volumes);
  EXPECT_EQ(cloud().inventory().at("attachments"), seed_attachments);
  for (auto const& s : snapshots)
    EXPECT_TRUE(log.contains("Snapshot '" + s + "' was removed successfully\n"));
}

TEST_F(Volumes, RemovalsGoOnAfterAFailure) {
  cloud().set_polls({{"volume_detach", 0}});
  curlAPI api(settings);

  // remove_volumes: a failed delete does not stop the next one.
  std::set<std::string> const spare = {spare_volume(), spare_volume()};
  std::string const first = *spare.begin();
  answer("DELETE", ".*/volumes/" + first, R"("status": 500)");
  api.remove_volumes(sc::project, spare);
  EXPECT_TRUE(log.contains(": unable to delete volume '" + first + "'")) << log.text();
  EXPECT_FALSE(find("volumes", first).is_null());
  EXPECT_TRUE(find("volumes", *spare.rbegin()).is_null());

  // detach_and_remove_volumes: a volume whose detachment failed is still sent
  // its delete (which the cloud refuses while it is attached).
  auto const attached = attached_volumes(api, 2);
  std::string const stuck = *attached.begin();
  answer("DELETE", ".*/os-volume_attachments/" + stuck, R"("status": 500)");
  cloud().clear_log();
  api.detach_and_remove_volumes(sc::project, attached, sc::kestrova_vm);
  EXPECT_EQ(requests_to("/volumes/" + stuck).size(), 1u);
  EXPECT_EQ(requests_to("/volumes/" + stuck).at(0).method, "DELETE");
  EXPECT_EQ(status_of("volumes", stuck), "in-use");
  EXPECT_TRUE(find("volumes", *attached.rbegin()).is_null());

  // clean_after_backup: every snapshot is tried.
  std::string const busy =
      add("snapshots", std::string(R"({"volume_id": ")") + sc::web_data + R"(", "status": "creating"})");
  std::string const done = add("snapshots", std::string(R"({"volume_id": ")") + sc::web_data + "\"}");
  api.clean_after_backup(sc::project, {busy, done}, {}, sc::kestrova_vm);
  EXPECT_FALSE(find("snapshots", busy).is_null());
  EXPECT_TRUE(find("snapshots", done).is_null());
}

}  // namespace
