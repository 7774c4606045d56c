#include "settings/options.h"

#include "platform/encoder_contract.h"
#include "texts/window_texts.h"

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

}  // namespace velmora
