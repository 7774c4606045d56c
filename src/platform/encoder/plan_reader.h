#pragma once
// Reads the source named in the window's text box for the pane's plan, off
// the window's thread, so a slow disk or a stalled mount never holds up the
// window. Only the latest name counts: a newer one cuts the read under way
// short (a read the kernel holds is given up) and is read at once on a
// thread of its own, so one name that will not read never holds up the
// next. At most kMostReads threads read at a time; beyond them the name
// waits for the first to end. A source that is no regular file (a pipe, a
// device) is not read at all: reading it would use up what the job should
// get.

#include <QObject>
#include <QString>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/job/engine.h"

namespace velmora {

struct SourceReading {
    enum class Kind { Read, NotRegular, Failed };
    Kind kind = Kind::Failed;
    encoder::SourceFacts facts;  // Read
    QString message;             // Failed: why, in Chinese
};

// On the calling thread; what the reader's thread does for each name.
SourceReading readForPlan(const std::string& source, std::function<bool()> interrupted = {});

class PlanReader : public QObject {
    Q_OBJECT
  public:
    // Called on this object's thread with the latest name's reading only.
    using Done = std::function<void(const std::string& source, const SourceReading& reading)>;

    // How long the destructor waits for the reads it cut short to end
    // before it lets their threads go (they end on their own and tell no one).
    static constexpr std::chrono::milliseconds kLeavePatience{500};
    // Threads reading at a time, at most.
    static constexpr int kMostReads = 3;

    explicit PlanReader(Done done, QObject* parent = nullptr);
    ~PlanReader() override;

    // Reads `source`, cutting short the read under way.
    void read(const std::string& source);
    // Forgets the name asked for: nothing more is delivered for it.
    void cancel();
    // Reads begun so far, for tests that count them.
    int readsBegun() const;

  private:
    struct Shared;
    // Hands the waiting reading, if still the latest, to done_.
    void deliver();

    Done done_;
    std::shared_ptr<Shared> shared_;
};

}  // namespace velmora
