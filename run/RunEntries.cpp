#include "run/RunEntries.h"

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_pipeline.h>
#include <oneapi/tbb/task_arena.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "process/Cores.h"
#include "protocol/Messages.h"

namespace orfeo {

namespace {

// Keeps an entry's messages until their turn comes.
class DeferredMessages final : public IMessageSink {
public:
    void ShowMessage(MessageKind kind, const std::string& text) override {
        m_messages.emplace_back(kind, text);
    }
    void ReplayTo(IMessageSink& sink) const {
        for (const auto& [kind, text] : m_messages) sink.ShowMessage(kind, text);
    }
    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const auto& message : m_messages) texts.push_back(message.second);
        return texts;
    }

private:
    std::vector<std::pair<MessageKind, std::string>> m_messages;
};

// An entry on its way through the pipeline, with what it has to say.
struct InFlight {
    std::size_t index = 0;
    bool written = false;
    double seconds = 0;
    DeferredMessages messages;
};

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
using Token = std::unique_ptr<InFlight>;

// One run over the entries: the plain loop, or a pipeline whose stages are the member functions below.
class EntryRun {
public:
    EntryRun(std::size_t count, const EntryWork& work, const EntryName& name, IMessageSink& messages,
             const JobOptions& options, BatchResult& result, const EntryDescription& describe)
        : m_count(count),
          m_work(work),
          m_name(name),
          m_messages(messages),
          m_options(options),
          m_result(result),
          m_describe(describe) {}

    void OneByOne() {
        for (; m_started < m_count && !StopRequested(); ++m_started) {
            // Held, as in the pipeline, only when someone wants the entry's messages for a report.
            InFlight entry;
            entry.index = m_started;
            const auto start = std::chrono::steady_clock::now();
            if (m_options.entryEnded) {
                entry.written = m_work(m_started, entry.messages);
                entry.seconds = SecondsSince(start);
                entry.messages.ReplayTo(m_messages);
            } else {
                entry.written = m_work(m_started, m_messages);
            }
            Finish(entry);
        }
    }

    // Entries are taken up in order, processed side by side on `threads` threads, and handed back in order;
    // at most threads + 1 are in flight, which bounds the memory whatever the batch's length. The gate is
    // held while an entry's messages are shown, and taken before the next entry starts, so that nothing
    // new starts while the user has a message in front of them.
    void SideBySide(unsigned threads) {
        tbb::task_arena arena(static_cast<int>(threads));
        arena.execute([&] {
            tbb::parallel_pipeline(
                threads + 1,
                tbb::make_filter<void, Token>(tbb::filter_mode::serial_in_order,
                                              [this](tbb::flow_control& flow) { return TakeUp(flow); }) &
                    tbb::make_filter<Token, Token>(
                        tbb::filter_mode::parallel,
                        [this](Token entry) { return Process(std::move(entry)); }) &
                    tbb::make_filter<Token, void>(tbb::filter_mode::serial_in_order,
                                                  [this](Token entry) { HandBack(std::move(entry)); }));
        });
    }

    bool TookUpAll() const { return m_started == m_count; }

private:
    Token TakeUp(tbb::flow_control& flow) {
        std::lock_guard<std::mutex> lock(m_gate);
        if (m_started == m_count || StopRequested()) {
            flow.stop();
            return nullptr;
        }
        auto entry = std::make_unique<InFlight>();
        entry->index = m_started++;
        return entry;
    }

    Token Process(Token entry) const {
        const auto start = std::chrono::steady_clock::now();
        entry->written = m_work(entry->index, entry->messages);
        entry->seconds = SecondsSince(start);
        return entry;
    }

    void HandBack(Token entry) {
        std::lock_guard<std::mutex> lock(m_gate);
        entry->messages.ReplayTo(m_messages);
        Finish(*entry);
    }

    void Finish(const InFlight& entry) {
        if (entry.written) ++m_result.written;
        ++m_done;
        if (m_options.entryEnded) {
            EntryReport report;
            report.index = entry.index;
            if (m_describe) m_describe(entry.index, report);
            report.written = entry.written;
            report.messages = entry.messages.Texts();
            report.seconds = entry.seconds;
            m_options.entryEnded(report);
        }
        if (m_options.progress) m_options.progress(m_done, m_count, m_name(entry.index));
    }

    bool StopRequested() const { return m_options.stop && m_options.stop->load(std::memory_order_relaxed); }

    const std::size_t m_count;
    const EntryWork& m_work;
    const EntryName& m_name;
    IMessageSink& m_messages;
    const JobOptions& m_options;
    BatchResult& m_result;
    const EntryDescription& m_describe;
    std::mutex m_gate;
    std::size_t m_started = 0, m_done = 0;
};

// The threads for `workers`: no more than oneTBB runs at once in this process, which it would otherwise
// enforce all the same, with a warning on standard error.
unsigned ThreadsFor(unsigned workers) {
    const std::size_t allowed =
        tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism);
    return static_cast<unsigned>(std::clamp<std::size_t>(allowed, 1, workers));
}

}  // namespace

void RunEntries(std::size_t count, const EntryWork& work, const EntryName& name, IMessageSink& messages,
                const JobOptions& options, BatchResult& result, const EntryDescription& describe) {
    EntryRun run(count, work, name, messages, options, result, describe);
    const unsigned threads = ThreadsFor(options.workers ? options.workers : AvailableCores());
    if (threads == 1) {
        run.OneByOne();
    } else {
        run.SideBySide(threads);
    }
    if (!run.TookUpAll()) {
        result.stopped = true;
        messages.ShowMessage(MessageKind::Problem, StoppedMessage(result.written, count));
    }
    messages.ShowMessage(MessageKind::Ended, ProcessingEndedMessage());
}

}  // namespace orfeo
