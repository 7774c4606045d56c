#include "platform/encoder/plan_reader.h"

#include <sys/stat.h>

#include <QMetaObject>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace velmora {

SourceReading readForPlan(const std::string& source, std::function<bool()> interrupted) {
    SourceReading reading;
    struct stat st {};
    if (::stat(source.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        reading.kind = SourceReading::Kind::NotRegular;
        return reading;
    }
    encoder::JobSettings settings;
    settings.source = source;
    settings.interrupted = std::move(interrupted);
    const Status s = encoder::readJobSource(settings, reading.facts);
    reading.kind = s ? SourceReading::Kind::Read : SourceReading::Kind::Failed;
    if (!s) reading.message = QString::fromStdString(s.message());
    return reading;
}

// What the reader's thread shares with its owner; the thread keeps it
// alive, so a thread let go can end on its own.
struct PlanReader::Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<std::string> wanted;
    std::uint64_t generation = 0;          // of the latest name; a read of an older one stops
    std::atomic<std::uint64_t> latest{0};  // the same, for the read's interrupt
    PlanReader* owner = nullptr;           // null once the owner is gone
    bool closing = false, ended = false;
    int begun = 0;
    std::thread thread;

    void run() {
        std::unique_lock lock(mutex);
        while (true) {
            changed.wait(lock, [&] { return closing || wanted; });
            if (closing) break;
            const std::string source = std::move(*wanted);
            wanted.reset();
            const std::uint64_t mine = generation;
            ++begun;
            lock.unlock();
            const SourceReading reading =
                readForPlan(source, [this, mine] { return latest.load() != mine; });
            lock.lock();
            // Posted under the lock: the owner cannot go in between. A call
            // queued for an owner destroyed before it runs is dropped by Qt.
            if (owner && mine == generation) {
                PlanReader* to = owner;
                QMetaObject::invokeMethod(
                    to, [to, mine, source, reading] { to->deliver(mine, source, reading); },
                    Qt::QueuedConnection);
            }
        }
        ended = true;
        changed.notify_all();
    }
};

PlanReader::PlanReader(Done done, QObject* parent)
    : QObject(parent), done_(std::move(done)), shared_(std::make_shared<Shared>()) {
    shared_->owner = this;
    shared_->thread = std::thread([shared = shared_] { shared->run(); });
}

PlanReader::~PlanReader() {
    std::unique_lock lock(shared_->mutex);
    shared_->owner = nullptr;
    shared_->closing = true;
    shared_->latest = ++shared_->generation;
    shared_->changed.notify_all();
    const bool ended =
        shared_->changed.wait_for(lock, kLeavePatience, [this] { return shared_->ended; });
    lock.unlock();
    if (ended)
        shared_->thread.join();
    else
        shared_->thread.detach();
}

void PlanReader::read(const std::string& source) {
    std::lock_guard lock(shared_->mutex);
    shared_->wanted = source;
    shared_->latest = ++shared_->generation;
    shared_->changed.notify_all();
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

void PlanReader::deliver(std::uint64_t generation, const std::string& source,
                         const SourceReading& reading) {
    {
        std::lock_guard lock(shared_->mutex);
        if (generation != shared_->generation) return;  // a newer name was asked for since
    }
    if (done_) done_(source, reading);
}

}  // namespace velmora
