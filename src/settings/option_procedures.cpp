// The window's procedures for the target audiences and the content lists;
// what each choice means to the encoder is in options.cpp.
#include <QCheckBox>
#include <QComboBox>

#include "app/real.h"
#include "platform/encoder_contract.h"
#include "settings/options.h"

namespace velmora {

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
