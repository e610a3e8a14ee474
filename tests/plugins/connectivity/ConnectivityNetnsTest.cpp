// The connectivity stream over the machine's real interfaces: a veth pair in a
// network namespace of its own, one end brought down and up again.
//
// The parent test builds the namespace with iproute2 and runs this test
// program again inside it (`ip netns exec` also mounts the namespace's own
// sysfs, which the interface kinds are read from); the child runs the
// disabled test below, which is never run on its own.

#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/foundation/NSRunLoop.h"
#include "plugins/connectivity/ConnectivityPlugin.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"
#include "support/engine/TestPeer.h"

namespace connectivity_netns_test {

namespace {

const std::string kStream = "dev.tarnquell.plugins/connectivity_status";
const char* const kInterfaceVariable = "QX_NETNS_INTERFACE";
constexpr double kEventTimeout = 15;

std::string findIp() {
  for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  return {};
}

int run(const std::string& command) {
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Removes the namespace, and the veth pair with it, however the test ends.
class Namespace {
 public:
  Namespace(std::string ip, std::string name) : ip_(std::move(ip)), name_(std::move(name)) {}
  ~Namespace() {
    if (created_) run(ip_ + " netns del " + name_ + " >/dev/null 2>&1");
  }
  bool create() {
    created_ = run(ip_ + " netns add " + name_ + " >/dev/null 2>&1") == 0;
    return created_;
  }
  bool ip(const std::string& arguments) {
    return run(ip_ + " -n " + name_ + " " + arguments + " >/dev/null 2>&1") == 0;
  }

 private:
  std::string ip_;
  std::string name_;
  bool created_ = false;
};

bool setLinkUp(const std::string& name, bool up) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq request{};
  std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
  bool ok = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  if (ok) {
    request.ifr_flags =
        static_cast<short>(up ? (request.ifr_flags | IFF_UP) : (request.ifr_flags & ~IFF_UP));
    ok = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  }
  ::close(fd);
  return ok;
}

Value names(const char* name) { return Value::list({Value(name)}); }

using ConnectivityNetnsTest = PlatformTest;

TEST_F(ConnectivityNetnsTest, LinkDownAndUpProduceEvents) {
  if (::geteuid() != 0) GTEST_SKIP() << "creating a network namespace needs root";
  std::string ip = findIp();
  if (ip.empty()) GTEST_SKIP() << "iproute2's ip is not installed (tools/install-deps adds it)";
  std::string name = "qxconn" + std::to_string(::getpid());
  Namespace ns(ip, name);
  if (!ns.create()) GTEST_SKIP() << "this machine refuses new network namespaces";

  ASSERT_TRUE(ns.ip("link add qxa type veth peer name qxb"));
  ASSERT_TRUE(ns.ip("addr add 10.201.0.1/24 dev qxa"));
  ASSERT_TRUE(ns.ip("addr add 10.201.0.2/24 dev qxb"));
  ASSERT_TRUE(ns.ip("link set qxa up"));
  ASSERT_TRUE(ns.ip("link set qxb up"));

  TempFolder logs;
  std::string log = logs.path() + "/child.log";
  std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  std::string command = "env " + std::string(kInterfaceVariable) + "=qxa timeout 60 " + ip +
                        " netns exec " + name + " " + self +
                        " --gtest_also_run_disabled_tests"
                        " --gtest_filter=ConnectivityNetnsChild.DISABLED_FollowsTheLink > " +
                        log + " 2>&1";
  int status = run(command);
  std::stringstream output;
  output << std::ifstream(log).rdbuf();
  EXPECT_EQ(status, 0) << output.str();
  EXPECT_NE(output.str().find("[  PASSED  ] 1 test"), std::string::npos) << output.str();
}

using ConnectivityNetnsChild = PlatformTest;

// Runs inside the namespace made above, where `qxa` and `qxb` are the only
// interfaces besides loopback.
TEST_F(ConnectivityNetnsChild, DISABLED_FollowsTheLink) {
  const char* interface = std::getenv(kInterfaceVariable);
  ASSERT_NE(interface, nullptr) << "run by ConnectivityNetnsTest only";

  TestPeer peer;
  ConnectivityPlugin::registerWithRegistrar(peer.registrar("ConnectivityPlugin"));
  ASSERT_TRUE(IsSuccess(peer.listen(kStream)));
  auto lastIs = [&](const Value& expected) {
    return TestPeer::pumpUntil(
        [&] {
          const auto& events = peer.events(kStream);
          return !events.empty() && events.back().value == expected;
        },
        kEventTimeout);
  };
  ASSERT_TRUE(lastIs(names("ethernet")));
  size_t before = peer.events(kStream).size();

  ASSERT_TRUE(setLinkUp(interface, false)) << std::strerror(errno);
  ASSERT_TRUE(lastIs(names("none"))) << "no event for the link going down";
  EXPECT_GT(peer.events(kStream).size(), before);

  ASSERT_TRUE(setLinkUp(interface, true)) << std::strerror(errno);
  ASSERT_TRUE(lastIs(names("ethernet"))) << "no event for the link coming up";

  for (const auto& event : peer.events(kStream)) {
    EXPECT_TRUE(event.value == names("ethernet") || event.value == names("none"))
        << event.value.description();
  }
  EXPECT_EQ(peer.call("dev.tarnquell.plugins/connectivity", "check").result, names("ethernet"));
}

}  // namespace

}  // namespace connectivity_netns_test
