// The component's side of the contract that needs no media: every property
// with its type, wrong types, unknown ids, and refusals that come before the
// source is read.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QWidget>

#include "platform/encoder/ffmpeg_encoder_component.h"

namespace velmora {
namespace {

using namespace encoder;

struct PropertyCase {
    DispId id;
    Variant good;
    Variant wrong;
};

std::vector<PropertyCase> everyProperty() {
    std::vector<PropertyCase> cases = {
        {prop::Unnamed3151, Variant::long_(0), Variant::integer(0)},
        {prop::InputFilename, Variant::string("a.avi"), Variant::long_(1)},
        {prop::Unnamed3155, Variant::boolean(true), Variant::long_(-1)},
        {prop::Unnamed3156, Variant::boolean(true), Variant::integer(-1)},
        {prop::OutputFilename, Variant::string("b.rm"), Variant::boolean(true)},
        {prop::TempDirectory, Variant::string("c:\\windows\\temp"), Variant()},
        {prop::AudioContent, Variant::long_(1), Variant::integer(1)},
        {prop::VideoQuality, Variant::long_(1), Variant::string("1")},
    };
    for (const auto& p : encoder::kAudienceProperties)
        cases.push_back({p.property, Variant::boolean(true), Variant::long_(-1)});
    return cases;
}

TEST(EncoderComponentProperties, AcceptsEveryPropertyOfTheContractWithItsType) {
    FfmpegEncoderComponent component;
    for (const auto& c : everyProperty()) {
        EXPECT_TRUE(component.put(c.id, c.good)) << c.id;
        const Status wrong = component.put(c.id, c.wrong);
        EXPECT_FALSE(wrong) << c.id << " took " << c.wrong.describe();
        EXPECT_NE(wrong.message().find(std::to_string(c.id)), std::string::npos) << wrong.message();
    }
}

TEST(EncoderComponentProperties, UnknownIdsAndOperationsFail) {
    FfmpegEncoderComponent component;
    for (DispId id : {0, 3150, 3405, 3416, 4300, 4303, 5001}) {
        EXPECT_FALSE(component.put(id, Variant::long_(0))) << id;
        EXPECT_FALSE(component.invoke(id)) << id;
    }
    EXPECT_FALSE(component.invoke(prop::InputFilename));
}

TEST(EncoderComponentProperties, WritesLandInTheNextJob) {
    FfmpegEncoderComponent component;
    ASSERT_TRUE(component.put(prop::InputFilename, Variant::string("/片源/a b.avi")));
    ASSERT_TRUE(component.put(prop::OutputFilename, Variant::string("/输出/c d.rm")));
    ASSERT_TRUE(component.put(prop::Target56KModem, Variant::boolean(true)));
    ASSERT_TRUE(component.put(prop::Target512KDSLCableModem, Variant::boolean(true)));
    ASSERT_TRUE(component.put(prop::AudioContent, Variant::long_(StereoMusic)));
    ASSERT_TRUE(component.put(prop::VideoQuality, Variant::long_(NoVideo)));
    const JobSettings& job = component.nextJob();
    EXPECT_EQ(job.source, "/片源/a b.avi");
    EXPECT_EQ(job.destination, "/输出/c d.rm");
    EXPECT_EQ(job.audiences, audienceSet({Audience::Modem56K, Audience::Dsl512K}));
    EXPECT_EQ(job.audioContent, StereoMusic);
    EXPECT_EQ(job.videoQuality, NoVideo);

    // False clears a box the window unticks.
    ASSERT_TRUE(component.put(prop::Target56KModem, Variant::boolean(false)));
    EXPECT_EQ(component.nextJob().audiences, audienceSet({Audience::Dsl512K}));
}

TEST(EncoderComponentProperties, EnumerationsOutsideTheirRangeFail) {
    FfmpegEncoderComponent component;
    for (std::int32_t v : {-1, 5, 1000}) {
        EXPECT_FALSE(component.put(prop::AudioContent, Variant::long_(v))) << v;
        EXPECT_FALSE(component.put(prop::VideoQuality, Variant::long_(v))) << v;
    }
    EXPECT_EQ(component.nextJob().audioContent, VoiceAndMusic);
}

TEST(EncoderComponentProperties, StartRefusesEmptyNamesAndStopWhenIdleDoesNothing) {
    FfmpegEncoderComponent component;
    std::vector<Notification> seen;
    component.setNotificationSink([&](const Notification& n) { seen.push_back(n); });
    EXPECT_TRUE(component.invoke(op::Stop));
    const Status noSource = component.invoke(op::Start);
    EXPECT_FALSE(noSource);
    EXPECT_NE(noSource.message().find("源文件"), std::string::npos);
    QApplication::processEvents();
    EXPECT_TRUE(seen.empty());
    EXPECT_FALSE(component.isRunning());
}

TEST(EncoderComponentProperties, PaneShowsTheBudgetOfTheSlowestTickedAudience) {
    QWidget host;
    host.resize(425, 153);
    FfmpegEncoderComponent component;
    component.attachView(&host);
    auto* budget = host.findChild<QLabel*>("encoderBudget");
    ASSERT_NE(budget, nullptr);
    ASSERT_TRUE(component.put(prop::Target384KDSLCableModem, Variant::boolean(true)));
    EXPECT_TRUE(budget->text().contains("350 kbps")) << budget->text().toStdString();
    ASSERT_TRUE(component.put(prop::TargetLAN, Variant::boolean(true)));
    EXPECT_TRUE(budget->text().contains("150 kbps")) << budget->text().toStdString();
    EXPECT_NE(host.findChild<QProgressBar*>("encoderProgress"), nullptr);
}

}  // namespace
}  // namespace velmora

TEST(EncoderContract, MapsEveryTargetPropertyToOneAudience) {
    velmora::encoder::AudienceSet seen;
    for (const auto& p : velmora::encoder::kAudienceProperties) {
        EXPECT_EQ(velmora::encoder::audienceForProperty(p.property), p.audience) << p.property;
        EXPECT_FALSE(seen.test(static_cast<std::size_t>(p.audience))) << p.property;
        seen.set(static_cast<std::size_t>(p.audience));
    }
    EXPECT_TRUE(seen.all());
    EXPECT_FALSE(velmora::encoder::audienceForProperty(velmora::encoder::prop::AudioContent));
}
