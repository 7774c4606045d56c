#pragma once
// The common file dialog as a dispatch target: title, filter, starting folder
// and file name as properties, ShowOpen/ShowSave as calls that wait until the
// dialog closes.

#include <QString>

#include "platform/automation.h"

class QFileDialog;
class QWidget;

namespace velmora {

namespace dialog {
inline constexpr DispId FileName = 1;     // String, read and written
inline constexpr DispId DialogTitle = 2;  // String
inline constexpr DispId Filter = 3;       // String, "description|pattern|..."
inline constexpr DispId InitDir = 5;      // String
inline constexpr DispId Unnamed23 = 23;   // Integer; accepted, no effect here
inline constexpr DispId ShowOpen = 30;
inline constexpr DispId ShowSave = 31;
}  // namespace dialog

// Turns "description|pattern|description|pattern" into Qt's
// "description (pattern);;..." form. An entry with a description and no
// pattern lists media files; an empty filter lists all files.
QString qtFileFilter(const QString& filter);

// Sets up `dialog` as an open or save dialog with the title, the starting
// folder or file and the filter ("description|pattern|...") of the common
// dialog.
void prepareFileDialog(QFileDialog& dialog, bool save, const QString& title, const QString& start,
                       const QString& filter);

// Holds the dialog's properties; subclasses decide how a dialog is shown.
class CommonDialog : public DispatchTarget {
  public:
    Status put(DispId id, const Variant& value) override;
    Status get(DispId id, Variant& value) const override;
    Status invoke(DispId id) override;

    const QString& fileName() const { return fileName_; }
    const QString& title() const { return title_; }
    const QString& filter() const { return filter_; }
    const QString& initDir() const { return initDir_; }

  protected:
    enum class Kind { Open, Save };
    // Shows the dialog; returns the chosen path, or an empty string when the
    // user cancelled.
    virtual QString choose(Kind kind) = 0;

  private:
    QString fileName_;
    QString title_;
    QString filter_;
    QString initDir_;
    std::int16_t unnamed23_ = 0;
};

class QtCommonDialog : public CommonDialog {
  public:
    explicit QtCommonDialog(QWidget* parent = nullptr) : parent_(parent) {}
    void setParent(QWidget* parent) { parent_ = parent; }

  protected:
    QString choose(Kind kind) override;

  private:
    QWidget* parent_;
};

}  // namespace velmora
