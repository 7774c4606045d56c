#include "platform/encoder/plan_reader.h"

#include <QMetaObject>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

namespace velmora {

SourceReading readForPlan(const std::string& source, std::function<bool()> interrupted) {
    SourceReading reading;
    encoder::JobSettings settings;
    settings.source = source;
    settings.interrupted = std::move(interrupted);
    bool notAFile = false;
    const Status s = encoder::readJobSource(settings, reading.facts, &notAFile);
    if (s && notAFile) {
        reading.kind = SourceReading::Kind::NotRegular;
        return reading;
    }
    reading.kind = s ? SourceReading::Kind::Read : SourceReading::Kind::Failed;
    if (!s) reading.message = QString::fromStdString(s.message());
    return reading;
}

// What the reading threads share with their owner; each thread keeps it
// alive, so that one let go can end on its own.
struct PlanReader::Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<std::string> wanted;
    std::uint64_t generation = 0;          // of the latest name; a read of an older one stops
    std::atomic<std::uint64_t> latest{0};  // the same, for the reads' interrupt
    PlanReader* owner = nullptr;           // null once the owner is gone
    bool closing = false;
    int running = 0;  // threads reading or about to
    int begun = 0;
    // The latest name's reading, waiting for the owner's thread to take it.
    // It passes through this lock, not through the call posted to say it is
    // there, so that every thread checker sees the hand-over.
    struct Ready {
        std::uint64_t generation;
        std::string source;
        SourceReading reading;
    };
    std::optional<Ready> ready;

    // Reads the name wanted, and any asked for meanwhile that no other
    // thread took; ends when there is none.
    void run() {
        std::unique_lock lock(mutex);
        while (!closing && wanted) {
            std::string source = std::move(*wanted);
            wanted.reset();
            const std::uint64_t mine = generation;
            ++begun;
            lock.unlock();
            SourceReading reading =
                readForPlan(source, [this, mine] { return latest.load() != mine; });
            lock.lock();
            // Posted under the lock: the owner cannot go in between. A call
            // queued for an owner destroyed before it runs is dropped by Qt.
            if (owner && mine == generation) {
                ready = Ready{mine, std::move(source), std::move(reading)};
                QMetaObject::invokeMethod(owner, &PlanReader::deliver, Qt::QueuedConnection);
            }
        }
        --running;
        changed.notify_all();
    }

    // A thread for the name wanted, unless as many as may run already do:
    // then the first to end takes it.
    void startReading(const std::shared_ptr<Shared>& self) {
        if (running >= kMostReads) return;
        try {
            std::thread([self] { self->run(); }).detach();
            ++running;
        } catch (const std::system_error&) {
            // No thread to be had now: the next read to end takes the name.
        }
    }
};

PlanReader::PlanReader(Done done, QObject* parent)
    : QObject(parent), done_(std::move(done)), shared_(std::make_shared<Shared>()) {
    shared_->owner = this;
}

PlanReader::~PlanReader() {
    std::unique_lock lock(shared_->mutex);
    shared_->owner = nullptr;
    shared_->closing = true;
    shared_->wanted.reset();
    shared_->latest = ++shared_->generation;
    // A read given up on ends at its next step; a thread held beyond the
    // patience is left to end on its own.
    shared_->changed.wait_for(lock, kLeavePatience, [this] { return shared_->running == 0; });
}

void PlanReader::read(const std::string& source) {
    std::lock_guard lock(shared_->mutex);
    shared_->wanted = source;
    shared_->latest = ++shared_->generation;
    shared_->startReading(shared_);
}

void PlanReader::cancel() {
    std::lock_guard lock(shared_->mutex);
    shared_->wanted.reset();
    shared_->latest = ++shared_->generation;
}

int PlanReader::readsBegun() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->begun;
}

void PlanReader::deliver() {
    std::optional<Shared::Ready> ready;
    {
        std::lock_guard lock(shared_->mutex);
        ready.swap(shared_->ready);
        // Taken by an earlier call, or a newer name was asked for since.
        if (!ready || ready->generation != shared_->generation) return;
    }
    if (done_) done_(ready->source, ready->reading);
}

}  // namespace velmora
