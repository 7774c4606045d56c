#include "settings/options.h"

#include <QCheckBox>
#include <QComboBox>

#include "app/real.h"
#include "app/texts.h"
#include "platform/encoder_contract.h"

namespace velmora {

namespace options {

DispId audienceProperty(int checkNumber) {
    using namespace encoder::prop;
    // Rows 6 to 8 hold Check8, Check6, Check7: each box drives the audience
    // named in its own row.
    static constexpr DispId kByCheck[] = {
        Target28KModem, Target56KModem,          TargetSingleISDN,        TargetDualISDN,
        TargetLAN,      Target384KDSLCableModem, Target512KDSLCableModem, Target256KDSLCableModem};
    Q_ASSERT(checkNumber >= 1 && checkNumber <= 8);
    return kByCheck[checkNumber - 1];
}

std::optional<std::int32_t> audioContentFor(const QString& listText) {
    for (int i = 0; i < 4; ++i)
        if (listText == QString::fromUtf16(text::kAudioItems[i])) return i;
    return std::nullopt;
}

std::optional<std::int32_t> videoQualityFor(const QString& listText) {
    for (int i = 0; i < 4; ++i)
        if (listText == QString::fromUtf16(text::kVideoItems[i])) return i;
    if (listText == QString::fromUtf16(text::kVideoItems[4])) return encoder::VideoQuality::NoVideo;
    return std::nullopt;
}

}  // namespace options

void Real::Check_Click(int number) {
    const auto* box = findChild<QCheckBox*>(QStringLiteral("Check%1").arg(number));
    // The box's new state, so clearing an audience really clears it.
    putEncoder(options::audienceProperty(number), Variant::boolean(box->isChecked()));
}

void Real::Combo1_Click() {
    if (const auto value = options::audioContentFor(Combo1->currentText()))
        putEncoder(encoder::prop::AudioContent, Variant::long_(*value));
}

void Real::Combo2_Click() {
    if (const auto value = options::videoQualityFor(Combo2->currentText()))
        putEncoder(encoder::prop::VideoQuality, Variant::long_(*value));
}

void Real::chooseAudioItem(int index) {
    Combo1->setCurrentIndex(index);
    Combo1_Click();
}

void Real::chooseVideoItem(int index) {
    Combo2->setCurrentIndex(index);
    Combo2_Click();
}

void Real::a315_Click() {
    // "No audio" is not in the list; the field shows the menu's own caption.
    Combo1->setEditText(action("a315")->text());
    putEncoder(encoder::prop::AudioContent, Variant::long_(encoder::AudioContent::NoAudio));
}

}  // namespace velmora
