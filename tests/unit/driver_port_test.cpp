// The port side: one client at a time, the GPS port every open needs, the
// serial requests forwarded to it, and the read path.
#include "driver_test_env.h"

#include "pegdser.h"

using namespace drvtest;

namespace {

class DriverPortTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        fakefm::set_no_radio(true);  // no thread adds output of its own
    }
    std::string Read(DWORD count) {
        std::string buffer(count, '\0');
        DWORD n = COM_Read(open_, buffer.data(), count);
        buffer.resize(n);
        return buffer;
    }
};

// The queue's own rules are in the output queue's test; here the port's
// read path hands out what was queued, in order, and waits when there is none.
TEST_F(DriverPortTest, ReadsHandOutTheQueue) {
    Load();
    ASSERT_TRUE(Open());
    std::string item = "0123456789abcdefghijklmnopqrstuvwxyzA";  // 37 bytes
    AppendOutput(37, item.data(), TRUE);
    EXPECT_EQ(Read(30), item.substr(0, 30));
    EXPECT_EQ(Read(10), item.substr(30, 7));
    EXPECT_EQ(Read(100), "");  // empty: 0 after the bounded wait
}

TEST_F(DriverPortTest, OneClientAtATime) {
    Load();
    ASSERT_TRUE(Open());
    DEVCONTEXT second = COM_Open(device_, GENERIC_READ, 0);
    EXPECT_EQ(second, 0u);
    EXPECT_EQ(reinterpret_cast<DeviceContext*>(device_)->OpenCount, 1);
    Close();
    EXPECT_EQ(reinterpret_cast<DeviceContext*>(device_)->OpenCount, 0);
    EXPECT_TRUE(Open());
    // Foreign or stale contexts are refused without being read.
    DeviceContext fake{DEVICE_SIGNATURE, 0, &Driver};
    EXPECT_EQ(COM_Open(reinterpret_cast<DEVCONTEXT>(&fake), 0, 0), 0u);
    EXPECT_EQ(COM_Open(0, 0, 0), 0u);
    EXPECT_FALSE(COM_Close(0));
    EXPECT_FALSE(COM_Close(reinterpret_cast<DEVCONTEXT>(&fake)));
    EXPECT_EQ(COM_Seek(open_, 100, 0), 0u);
}

TEST_F(DriverPortTest, OpenNeedsTheGpsPort) {
    RemoveGpsKey();
    SetSetting(u"Data", 0);
    Load();
    EXPECT_FALSE(Open());
    EXPECT_EQ(reinterpret_cast<DeviceContext*>(device_)->OpenCount, 0);
    EXPECT_EQ(Driver.Port.PortOpen.load(), 0);
    AppendOutput(3, "abc", TRUE);
    EXPECT_EQ(Driver.Output.Pending(), 0u);
    // The purge always succeeds; other requests fail without a GPS port.
    EXPECT_TRUE(COM_IOControl(0, IOCTL_SERIAL_PURGE, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_FALSE(COM_IOControl(0, IOCTL_SERIAL_SET_DTR, nullptr, 0, nullptr, 0, nullptr));
}

TEST_F(DriverPortTest, QueueSurvivesCloseButClosedOutputIsDropped) {
    Load();
    ASSERT_TRUE(Open());
    AppendOutput(4, "kept", TRUE);
    Close();
    AppendOutput(4, "lost", TRUE);
    ASSERT_TRUE(Open());
    EXPECT_EQ(Drain(), "kept");
    // The GPS port stays open across the close and is reused.
    EXPECT_FALSE(gps_->closed());
}

TEST_F(DriverPortTest, SerialRequestsGoToTheGpsPort) {
    SetSetting(u"LogMode", 2);
    Load();
    ASSERT_TRUE(Open());
    AppendOutput(4, "data", TRUE);
    DWORD returned = 77;
    EXPECT_TRUE(COM_IOControl(open_, IOCTL_SERIAL_PURGE, nullptr, 0, nullptr, 0, &returned));
    EXPECT_EQ(Drain(), "");
    DWORD mask = 5;
    EXPECT_TRUE(COM_IOControl(open_, IOCTL_SERIAL_SET_DTR, reinterpret_cast<PBYTE>(&mask), 4, nullptr, 0, nullptr));
    auto codes = gps_->ioctl_codes();
    ASSERT_GE(codes.size(), 2u);
    EXPECT_EQ(codes[codes.size() - 2], static_cast<DWORD>(IOCTL_SERIAL_PURGE));
    EXPECT_EQ(codes.back(), static_cast<DWORD>(IOCTL_SERIAL_SET_DTR));
    std::string log = LogFile();
    // The count shows what the caller's pointer held, 0 without a pointer.
    EXPECT_NE(log.find("COM_IOControl Req: 0, 0, 0, 0, 77 \n"), std::string::npos);
    EXPECT_NE(log.find(", 4, 0, 0, 0 \n"), std::string::npos);
    COM_PowerDown(device_);
    COM_PowerUp(device_);
    log = LogFile();
    EXPECT_NE(log.find("COM_PowerDown "), std::string::npos);
    EXPECT_NE(log.find("COM_PowerUp "), std::string::npos);
}

}  // namespace
