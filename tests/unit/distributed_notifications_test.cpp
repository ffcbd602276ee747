// System-wide notifications as signals on the session bus.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Platform/Linux/GDBusDistributedNotificationCenter.h"
#include "SessionBusListener.h"
#include "TempHome.h"

namespace {

using platform::DistributedNotificationCenter;
using platform::GDBusDistributedNotificationCenter;

class DistributedNotificationsTest : public TempHomeTest {};

TEST_F(DistributedNotificationsTest, PostIsASignalWithTheNameAndStatusOnTheSessionBus) {
    if (!std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
        GTEST_SKIP() << "no session bus: `make test` runs this under dbus-run-session";
    }
    SessionBusListener listener;
    ASSERT_TRUE(listener.connected());
    GDBusDistributedNotificationCenter center;

    for (const std::int64_t status : {std::int64_t{0}, std::int64_t{1} << 40}) {
        SCOPED_TRACE(status);
        ASSERT_TRUE(center.post("SendSessionStatusToHelvoPellix", status));
        const auto heard = listener.next();
        ASSERT_TRUE(heard);
        EXPECT_EQ(heard->path, DistributedNotificationCenter::kObjectPath);
        EXPECT_EQ(heard->interface, DistributedNotificationCenter::kInterface);
        EXPECT_EQ(heard->name, "SendSessionStatusToHelvoPellix");
        EXPECT_EQ(heard->signature, "(a{sv})");
        EXPECT_EQ(heard->status, status);
    }
}

TEST_F(DistributedNotificationsTest, WithoutASessionBusThePostIsLoggedAndDropped) {
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + path("no-bus-here")).c_str(), 1);
    GDBusDistributedNotificationCenter center;
    testing::internal::CaptureStderr();
    const bool sent = center.post("SendSessionStatusToHelvoPellix", 0);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(sent);
    EXPECT_NE(log.find("No session bus"), std::string::npos) << log;
    EXPECT_NE(log.find("SendSessionStatusToHelvoPellix"), std::string::npos) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
}

TEST_F(DistributedNotificationsTest, NameThatIsNoSignalNameIsRefused) {
    GDBusDistributedNotificationCenter center;
    EXPECT_FALSE(center.post("Retry.DMG Downloadig", 0));
}

}  // namespace
