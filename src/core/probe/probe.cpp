#include "probe/probe.h"

#include <pthread.h>

#include <algorithm>
#include <memory>

#include "base/error.h"
#include "net/address.h"
#include "net/tcp_connect.h"

namespace quillan::probe {
namespace {

using Clock = std::chrono::steady_clock;

// What one worker is given and what it leaves behind. Shared between the caller and the
// worker, so that a worker the caller has given up on still owns its inputs.
struct Job {
    Server server;
    uint64_t millis = kUnreachable;
};

// Thread entry: owns the heap copy of the shared pointer it is handed.
void* run_job(void* arg) noexcept {
    std::unique_ptr<std::shared_ptr<Job>> job(static_cast<std::shared_ptr<Job>*>(arg));
    Job& j = **job;
    j.millis = measure_latency(j.server.first, j.server.second);
    return nullptr;
}

[[noreturn]] void spawn_failed(int err) {
    throw Error(ErrorKind::Internal, "failed to spawn thread: " + os_error_text(err), err);
}

// The attributes every worker is started with: joinable, kWorkerStack of stack.
class WorkerAttr {
  public:
    WorkerAttr() {
        if (int rc = pthread_attr_init(&attr_); rc != 0) spawn_failed(rc);
        if (int rc = pthread_attr_setstacksize(&attr_, kWorkerStack); rc != 0) {
            pthread_attr_destroy(&attr_);
            spawn_failed(rc);
        }
    }
    ~WorkerAttr() { pthread_attr_destroy(&attr_); }
    WorkerAttr(const WorkerAttr&) = delete;
    WorkerAttr& operator=(const WorkerAttr&) = delete;
    const pthread_attr_t* get() const { return &attr_; }

  private:
    pthread_attr_t attr_;
};

// The started workers. Each is joined exactly once, or detached on the way out of a failed
// call, so that none is left behind as a zombie.
class Workers {
  public:
    explicit Workers(size_t count) { threads_.reserve(count); }
    ~Workers() {
        for (size_t i = joined_; i < threads_.size(); ++i) pthread_detach(threads_[i]);
    }
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;

    void start(const WorkerAttr& attr, const std::shared_ptr<Job>& job) {
        auto arg = std::make_unique<std::shared_ptr<Job>>(job);
        pthread_t thread;
        if (int rc = pthread_create(&thread, attr.get(), run_job, arg.get()); rc != 0) {
            spawn_failed(rc);
        }
        arg.release();               // the worker owns it now
        threads_.push_back(thread);  // reserved: cannot throw
    }

    // Waits for the next worker in start order; false if it could not be joined.
    bool join_next() { return pthread_join(threads_[joined_++], nullptr) == 0; }

  private:
    std::vector<pthread_t> threads_;
    size_t joined_ = 0;
};

}  // namespace

uint64_t measure_latency(const std::string& ip, uint16_t port) noexcept {
    try {
        const std::string text = net::address_text(ip, port);
        const auto start = Clock::now();
        auto addr = net::parse_socket_address(text);
        if (!addr) return kUnreachable;
        UniqueFd sock = net::tcp_connect(*addr, kConnectBudget);
        const auto elapsed = std::max(Clock::now() - start, Clock::duration::zero());
        // Nothing is sent: the socket is closed as it goes out of scope.
        return static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
    } catch (...) {
        // Every way a single probe can fail, refused or timed out or out of memory, is the same
        // answer to the caller.
        return kUnreachable;
    }
}

std::vector<Latency> ping_servers(std::vector<Server> servers) {
    std::vector<std::shared_ptr<Job>> jobs;
    jobs.reserve(servers.size());
    for (Server& server : servers) {
        jobs.push_back(std::make_shared<Job>(Job{std::move(server)}));
    }

    std::vector<Latency> results;
    results.reserve(jobs.size());
    if (jobs.empty()) return results;

    WorkerAttr attr;
    Workers workers(jobs.size());
    for (const auto& job : jobs) workers.start(attr, job);
    for (const auto& job : jobs) {
        // Joined, the worker has dropped its share of the job: it is ours alone.
        if (!workers.join_next()) continue;
        results.push_back({std::move(job->server.first), job->server.second, job->millis});
    }

    std::stable_sort(results.begin(), results.end(),
                     [](const Latency& a, const Latency& b) { return a.millis < b.millis; });
    return results;
}

}  // namespace quillan::probe
