// Audience boxes, the content lists and their menu entries reach the encoder
// at the moment they are chosen.

#include <QAbstractItemView>
#include <QApplication>
#include <QKeyEvent>
#include <QTest>

#include "platform/encoder_contract.h"
#include "support/window_fixture.h"

namespace velmora::testing {
namespace {

using namespace encoder;

class OptionsTest : public WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        load();
    }
    // A choice from the list, as the user makes it.
    void choose(const char* comboName, int index) {
        auto* combo = get<QComboBox>(comboName);
        combo->setCurrentIndex(index);
        emit combo->activated(index);
    }
};

TEST_F(OptionsTest, EachBoxWritesItsOwnAudienceWithItsNewState) {
    const std::pair<const char*, DispId> boxes[] = {
        {"Check1", 3401}, {"Check2", 3402}, {"Check3", 3403}, {"Check4", 3404},
        {"Check5", 3406}, {"Check6", 3414}, {"Check7", 3415}, {"Check8", 3413},
    };
    for (const auto& [name, id] : boxes) {
        SCOPED_TRACE(name);
        auto* box = get<QCheckBox>(name);
        const bool wasTicked = box->isChecked();  // Check8 starts ticked
        encoder.clear();
        QTest::mouseClick(box, Qt::LeftButton);
        QTest::mouseClick(box, Qt::LeftButton);
        ASSERT_EQ(encoder.calls().size(), 2u);
        EXPECT_EQ(encoder.calls()[0].id, id);
        EXPECT_EQ(encoder.calls()[0].value, Variant::boolean(!wasTicked));
        EXPECT_EQ(encoder.calls()[1].value, Variant::boolean(wasTicked));
    }
}

TEST_F(OptionsTest, ClickingAnAudienceLabelChangesNothing) {
    QTest::mouseClick(get<QLabel>("Label5"), Qt::LeftButton);
    EXPECT_FALSE(get<QCheckBox>("Check1")->isChecked());
    EXPECT_TRUE(encoder.calls().empty());
}

TEST_F(OptionsTest, AudioListWritesTheFirstFourItemsOnly) {
    for (int i = 0; i < 4; ++i) {
        choose("Combo1", i);
        EXPECT_EQ(encoder.calls().back().id, prop::AudioContent);
        EXPECT_EQ(encoder.calls().back().value, Variant::long_(i));
    }
    encoder.clear();
    choose("Combo1", 4);  // "没有音乐"
    EXPECT_TRUE(encoder.calls().empty());

    // Typing into the field is not a choice.
    auto* combo = get<QComboBox>("Combo1");
    combo->lineEdit()->clear();
    QKeyEvent typed(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, "音乐");
    QApplication::sendEvent(combo->lineEdit(), &typed);
    EXPECT_EQ(combo->currentText(), "音乐");
    EXPECT_TRUE(encoder.calls().empty());
}

// Enter or leaving the field with typed text that matches an item (or
// completes to one) is not a choice from the list; a click in the list is.
TEST_F(OptionsTest, TypedTextWritesNothingOnEnterOrTabButTheListStillDoes) {
    window->show();
    QApplication::setActiveWindow(window.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    struct Case {
        const char* combo;
        const char* typed;
        Qt::Key key;
    };
    for (const Case& c :
         {Case{"Combo1", "音乐", Qt::Key_Return}, Case{"Combo1", "仅", Qt::Key_Tab},
          Case{"Combo2", "没有视频", Qt::Key_Return}, Case{"Combo2", "急", Qt::Key_Tab}}) {
        SCOPED_TRACE(std::string(c.combo) + " " + c.typed +
                     (c.key == Qt::Key_Tab ? " Tab" : " Enter"));
        auto* combo = get<QComboBox>(c.combo);
        combo->setFocus();
        ASSERT_TRUE(QTest::qWaitFor([&] { return combo->hasFocus(); }));
        combo->lineEdit()->clear();
        for (const QChar ch : QString::fromUtf8(c.typed))
            QTest::sendKeyEvent(QTest::Click, combo, Qt::Key_unknown, QString(ch), Qt::NoModifier);
        QTest::keyClick(combo, c.key);
        EXPECT_TRUE(encoder.calls().empty());
    }

    // A click on an item of the opened list writes it.
    auto* combo = get<QComboBox>("Combo1");
    combo->showPopup();
    QAbstractItemView* list = combo->view();
    ASSERT_TRUE(QTest::qWaitFor([&] { return list->isVisible(); }));
    const QRect item = list->visualRect(list->model()->index(3, 0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, item.center());
    ASSERT_EQ(encoder.calls().size(), 1u);
    EXPECT_EQ(encoder.calls()[0].value, Variant::long_(AudioContent::StereoMusic));
}

TEST_F(OptionsTest, VideoListWritesEveryItemIncludingNoVideo) {
    for (int i = 0; i < 5; ++i) {
        choose("Combo2", i);
        EXPECT_EQ(encoder.calls().back().id, prop::VideoQuality);
        EXPECT_EQ(encoder.calls().back().value, Variant::long_(i == 4 ? VideoQuality::NoVideo : i));
    }
    EXPECT_EQ(encoder.calls().size(), 5u);
}

TEST_F(OptionsTest, OptionsMenuEntriesMakeTheSameChoicesAndTheListsFollow) {
    const std::tuple<const char*, DispId, std::int32_t, const char*, QString> entries[] = {
        {"a311", prop::AudioContent, 0, "Combo1", "仅语音"},
        {"a312", prop::AudioContent, 1, "Combo1", "语音和背景音乐"},
        {"a313", prop::AudioContent, 2, "Combo1", "音乐"},
        {"a314", prop::AudioContent, 3, "Combo1", "立体声音乐"},
        {"a315", prop::AudioContent, AudioContent::NoAudio, "Combo1", "没有音频"},
        {"a321", prop::VideoQuality, 0, "Combo2", "标准动作视频"},
        {"a322", prop::VideoQuality, 1, "Combo2", "平滑动作视频"},
        {"a323", prop::VideoQuality, 2, "Combo2", "急剧的图像视频"},
        {"a324", prop::VideoQuality, VideoQuality::NoVideo, "Combo2", "没有视频"},
    };
    for (const auto& [name, id, value, combo, shown] : entries) {
        SCOPED_TRACE(name);
        encoder.clear();
        action(name)->trigger();
        ASSERT_EQ(encoder.calls().size(), 1u);
        EXPECT_EQ(encoder.calls()[0].id, id);
        EXPECT_EQ(encoder.calls()[0].value, Variant::long_(value));
        EXPECT_EQ(get<QComboBox>(combo)->currentText(), shown);
    }
}

}  // namespace
}  // namespace velmora::testing
