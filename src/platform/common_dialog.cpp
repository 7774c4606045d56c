#include "platform/common_dialog.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QStringList>

#include "texts/window_texts.h"

namespace velmora {

namespace {

const char kMediaPatterns[] =
    "*.mp4 *.m4v *.mov *.avi *.mkv *.webm *.flv *.wmv *.asf *.mpg *.mpeg *.vob *.ts *.m2ts "
    "*.3gp *.ogv *.dv *.rm *.rmvb *.mp3 *.wav *.flac *.aac *.m4a *.ogg *.oga *.opus *.wma *.ac3";

QString toQString(const Variant& v) {
    return QString::fromStdU16String(v.toString());
}

}  // namespace

QString qtFileFilter(const QString& filter) {
    const QString allFiles = QString::fromUtf16(text::kAllFiles);
    if (filter.trimmed().isEmpty()) return allFiles;
    const QStringList parts = filter.split(u'|');
    QStringList entries;
    bool listsMedia = false;
    for (qsizetype i = 0; i < parts.size(); i += 2) {
        const QString description = parts[i].trimmed();
        QString patterns = i + 1 < parts.size() ? parts[i + 1].trimmed() : QString();
        if (description.isEmpty() && patterns.isEmpty()) continue;
        if (patterns.isEmpty()) {
            patterns = QString::fromLatin1(kMediaPatterns);
            listsMedia = true;
        }
        // The common dialog separates patterns with ';', Qt with blanks.
        patterns.replace(u';', u' ');
        entries << QStringLiteral("%1 (%2)").arg(description.isEmpty() ? patterns : description,
                                                 patterns.simplified());
    }
    if (entries.isEmpty() || listsMedia) entries << allFiles;
    return entries.join(QStringLiteral(";;"));
}

Status CommonDialog::put(DispId id, const Variant& value) {
    const bool isString = value.is(Variant::Type::String);
    switch (id) {
        case dialog::FileName:
        case dialog::DialogTitle:
        case dialog::Filter:
        case dialog::InitDir: {
            if (!isString) break;
            QString& field = id == dialog::FileName      ? fileName_
                             : id == dialog::DialogTitle ? title_
                             : id == dialog::Filter      ? filter_
                                                         : initDir_;
            field = toQString(value);
            return Status::ok();
        }
        case dialog::Unnamed23:
            if (!value.is(Variant::Type::Integer)) break;
            unnamed23_ = value.toInteger();
            return Status::ok();
        default:
            return Status::fail(ErrorKind::BadRequest,
                                text::kDialogNoProperty + std::to_string(id));
    }
    return Status::fail(ErrorKind::BadRequest,
                        text::kDialogWrongType + std::to_string(id) + " " + value.describe());
}

Status CommonDialog::get(DispId id, Variant& value) const {
    switch (id) {
        case dialog::FileName:
            value = Variant::string(fileName_.toStdU16String());
            return Status::ok();
        case dialog::DialogTitle:
            value = Variant::string(title_.toStdU16String());
            return Status::ok();
        case dialog::Filter:
            value = Variant::string(filter_.toStdU16String());
            return Status::ok();
        case dialog::InitDir:
            value = Variant::string(initDir_.toStdU16String());
            return Status::ok();
        case dialog::Unnamed23:
            value = Variant::integer(unnamed23_);
            return Status::ok();
        default:
            return DispatchTarget::get(id, value);
    }
}

Status CommonDialog::invoke(DispId id) {
    if (id != dialog::ShowOpen && id != dialog::ShowSave) {
        return Status::fail(ErrorKind::BadRequest, text::kDialogNoOperation + std::to_string(id));
    }
    const QString chosen = choose(id == dialog::ShowOpen ? Kind::Open : Kind::Save);
    // A cancelled dialog keeps the name it had.
    if (!chosen.isEmpty()) fileName_ = chosen;
    return Status::ok();
}

void prepareFileDialog(QFileDialog& dialog, bool save, const QString& title, const QString& start,
                       const QString& filter) {
    // Our own dialog, in Chinese like the rest; each type shown by its
    // description only, which already names its pattern ("RealMedia
    // Files(*.rm)"), not followed by the pattern a second time.
    dialog.setOptions(QFileDialog::DontUseNativeDialog | QFileDialog::HideNameFilterDetails);
    dialog.setWindowTitle(title);
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setNameFilters(qtFileFilter(filter).split(QStringLiteral(";;")));
    const QFileInfo startAt(start);
    if (startAt.isDir()) {
        dialog.setDirectory(start);
    } else if (!start.isEmpty()) {
        dialog.setDirectory(startAt.absolutePath());
        dialog.selectFile(startAt.fileName());
    }
}

QString QtCommonDialog::choose(Kind kind) {
    QString start = initDir();
    if (!fileName().isEmpty()) start = fileName();
    QFileDialog dialog(parent_);
    prepareFileDialog(dialog, kind == Kind::Save, title(), start, filter());
    if (dialog.exec() != QDialog::Accepted) return QString();
    return dialog.selectedFiles().value(0);
}

}  // namespace velmora
