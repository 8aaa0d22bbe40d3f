// Fixture of the curlAPI operation tests: one stand-in cloud
// (tests/standins/cloud) for the whole test program, put back to its
// standard seed before each test, client settings for it, the log of the
// test, and short ways to read the stand-in's request log and inventory.
#pragma once

#include <string>
#include <vector>

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include "log_capture.h"
#include "rustack/curl_api.h"
#include "standins/cloud/fake_cloud.h"

namespace kstest {

// One request the services received (logins excluded unless asked for).
struct Logged {
  std::string method;
  std::string path;
  std::string body;
  std::string token_scope;  // "project", "system", ... or empty
  long status = 0;
};

class OpsCloudTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!cloud_)
      cloud_ = new FakeCloud();
  }
  static void TearDownTestSuite() {
    delete cloud_;
    cloud_ = nullptr;
  }

  void SetUp() override {
    cloud().reset();
    settings.url = cloud().base_url();
    settings.username = standard_cloud::user;
    settings.password = standard_cloud::password;
    settings.admin_name = standard_cloud::admin;
    settings.admin_password = standard_cloud::admin_password;
    settings.domain = standard_cloud::domain;
    settings.project_id = standard_cloud::project;
    settings.vm_id = standard_cloud::kestrova_vm;
    settings.timeout = 10;
    settings.volume_attachment_timeout = 5;
    settings.api_version.nova = "v2";
    settings.api_version.cinder = "v3";
    settings.api_version.keystone = "v3";
  }

  static FakeCloud& cloud() { return *cloud_; }

  // The requests of the compute and block-storage services, in order.
  static std::vector<Logged> requests(bool with_logins = false) {
    std::vector<Logged> out;
    auto const log = cloud().request_log();
    for (auto const& e : log) {
      auto const& o = e.as_object();
      if (!with_logins && o.at("service").as_string() == "identity")
        continue;
      Logged l;
      l.method = std::string(o.at("method").as_string());
      l.path = std::string(o.at("path").as_string());
      l.body = std::string(o.at("body").as_string());
      if (o.at("token_scope").is_string())
        l.token_scope = std::string(o.at("token_scope").as_string());
      if (o.at("status").is_int64())
        l.status = static_cast<long>(o.at("status").as_int64());
      out.push_back(std::move(l));
    }
    return out;
  }

  // Adds a fault rule given as JSON text.
  static void fault(std::string const& rule_json) { cloud().add_fault(boost::json::parse(rule_json).as_object()); }

  // Adds an object (a seed entry given as JSON text) and returns its id.
  static std::string add(std::string const& kind, std::string const& entry_json) {
    auto const v = cloud().control("POST", "objects/" + kind, entry_json);
    return std::string(v.at("id").as_string());
  }

  // The object of that kind and id in the inventory, or null.
  static boost::json::value find(std::string const& kind, std::string const& id) {
    auto const inventory = cloud().inventory();
    for (auto const& o : inventory.at(kind).as_array())
      if (o.at("id").as_string() == id)
        return o;
    return nullptr;
  }

  static std::string status_of(std::string const& kind, std::string const& id) {
    auto const o = find(kind, id);
    return o.is_null() ? std::string("<gone>") : std::string(o.at("status").as_string());
  }

  static std::string cinder(std::string const& rest) {
    return std::string("/cinder/v3/") + standard_cloud::project + rest;
  }

  conf settings;
  LogCapture log;

 private:
  inline static FakeCloud* cloud_ = nullptr;
};

}  // namespace kstest
