#pragma once
// What the encoder shows in its rectangle of the window: the product name
// and the chosen audience's budget when idle, a progress bar during a job.

#include <QWidget>

class QLabel;
class QProgressBar;
class QStackedLayout;

namespace velmora {

class EncoderPane : public QWidget {
    Q_OBJECT
  public:
    explicit EncoderPane(QWidget* parent = nullptr);

    // `audience` empty when none is ticked.
    void showIdle(const QString& audience, int budgetKbps);
    void showJob(int percent);

  private:
    QStackedLayout* pages_;
    QWidget* idlePage_;
    QWidget* jobPage_;
    QLabel* budget_;
    QProgressBar* progress_;
    QLabel* percent_;
};

}  // namespace velmora
