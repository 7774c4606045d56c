#include "support/recording_dialogs.h"

namespace velmora::testing {

QString RecordingDialog::choose(Kind kind) {
    shown_.push_back({kind == Kind::Open, title(), filter(), initDir()});
    if (answers_.empty()) return QString();
    QString answer = answers_.front();
    answers_.pop_front();
    return answer;
}

}  // namespace velmora::testing
