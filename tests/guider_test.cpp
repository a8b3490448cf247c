// The PHD2 client against a stand-in event server on localhost: the request
// it sends, and how each way the server answers (or does not) ends the
// dither. The client runs in the GLib main context, as in the program.
#include <arpa/inet.h>
#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "guider/guider.h"

namespace {

// Listens on 127.0.0.1 at a free port; takes one connection, sends the
// greeting events, reads the request line and answers with `replies`
// (nothing more after them: then it hangs up, or with `silent` it waits
// for the client to go). Two replies stand for more: FLOOD is a second of
// guiding events sent as fast as the client takes them, and OVERLONG a
// megabyte without a line break.
const std::string FLOOD = "<flood>";
const std::string OVERLONG = "<overlong>";
// From here on, the lines that the test pushes, as it pushes them, until
// DROP (the server hangs up) or the end of the test.
const std::string PUSHED = "<pushed>";
const std::string DROP = "<drop>";

// A socket listening on 127.0.0.1 at a free port (in `address`), with
// room for `backlog` connections not yet taken.
int ListenOnLoopback(int backlog, sockaddr_in& address)
{
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    address = sockaddr_in{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    listen(listener, backlog);
    return listener;
}

class FakePhd2 {
public:
    // `request`: a dither's connection, which sends a request first (a
    // watch sends nothing); `connections`: how many it takes, one after
    // the other, each served the same way.
    FakePhd2(std::vector<std::string> replies, bool silent, bool request = true, int connections = 1)
        : replies_(std::move(replies))
        , silent_(silent)
        , awaitRequest_(request)
        , connections_(connections)
    {
        sockaddr_in address{};
        listener_ = ListenOnLoopback(1, address);
        port = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }

    ~FakePhd2()
    {
        Push(DROP);
        shutdown(listener_, SHUT_RDWR);
        thread_.join();
        close(listener_);
    }

    uint16_t port = 0;
    std::string request;  // the client's line, CR LF included

    void Push(const std::string& line)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pushed_.push_back(line);
        changed_.notify_all();
    }

private:
    void Serve()
    {
        for (int i = 0; i < connections_; ++i)
            ServeOne();
    }

    void ServeOne()
    {
        const int client = accept(listener_, nullptr, nullptr);
        if (client < 0)
            return;
        Send(client,
             "{\"Event\":\"Version\",\"PHDVersion\":\"2.6.11\",\"MsgVersion\":1}\r\n"
             "{\"Event\":\"AppState\",\"State\":\"Guiding\"}\r\n");
        char c = 0;
        while (awaitRequest_ && request.find('\n') == std::string::npos && read(client, &c, 1) == 1)
            request += c;
        for (const std::string& reply : replies_) {
            if (reply == FLOOD) {
                std::string lines;
                for (int i = 0; i < 100; ++i)
                    lines += "{\"Event\":\"GuideStep\",\"Frame\":12,\"dx\":0.4,\"dy\":-0.2}\r\n";
                const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
                while (std::chrono::steady_clock::now() < end && Send(client, lines)) { }
            } else if (reply == OVERLONG) {
                Send(client, std::string(1 << 20, 'x'));
            } else if (reply == PUSHED) {
                for (;;) {
                    std::unique_lock<std::mutex> lock(mutex_);
                    changed_.wait(lock, [this] { return !pushed_.empty(); });
                    const std::string line = pushed_.front();
                    pushed_.pop_front();
                    lock.unlock();
                    if (line == DROP)
                        break;
                    Send(client, line + "\r\n");
                }
            } else {
                Send(client, reply + "\r\n");
            }
        }
        if (silent_)
            while (read(client, &c, 1) == 1) { }
        close(client);
    }

    // False once the client has gone (it may leave mid-flood).
    static bool Send(int fd, const std::string& text)
    {
        for (size_t sent = 0; sent < text.size();) {
            const ssize_t count = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
            if (count <= 0)
                return false;
            sent += static_cast<size_t>(count);
        }
        return true;
    }

    std::vector<std::string> replies_;
    bool silent_;
    bool awaitRequest_;
    int connections_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> pushed_;
    int listener_ = -1;
    std::thread thread_;
};

// A window's frame clock: every 20 ms it asks for a redraw, done at the
// toolkit's redraw priority (GDK_PRIORITY_REDRAW).
struct Redraws {
    int done = 0;
    bool asked = false;

    static gboolean OnFrame(gpointer data)
    {
        auto* redraws = static_cast<Redraws*>(data);
        if (!redraws->asked) {
            redraws->asked = true;
            g_idle_add_full(G_PRIORITY_HIGH_IDLE + 20, &Redraws::OnRedraw, redraws, nullptr);
        }
        return G_SOURCE_CONTINUE;
    }
    static gboolean OnRedraw(gpointer data)
    {
        auto* redraws = static_cast<Redraws*>(data);
        redraws->asked = false;
        ++redraws->done;
        return G_SOURCE_REMOVE;
    }
};

// Runs the main context until the dither ends: "settled", or "failed: "
// and the reason. Meanwhile a window's redraw is asked for every 20 ms, at
// the toolkit's redraw priority; `paints` counts those that were done.
std::string DitherAgainst(uint16_t port, int32_t giveUpMs = 2000, int* paints = nullptr)
{
    auto guider = MakePhd2Guider("localhost", port);
    DitherRequest request;
    request.pixels = 3;
    request.settleSeconds = 10;
    request.settleTimeoutSeconds = 70;
    request.giveUpMs = giveUpMs;
    std::string result;
    guider->Dither(request, [&result](const DitherOutcome& outcome) {
        result = outcome.settled ? "settled" : "failed: " + outcome.reason;
    });
    Redraws redraws;
    const guint frameClock = g_timeout_add(20, &Redraws::OnFrame, &redraws);
    while (result.empty())
        g_main_context_iteration(nullptr, TRUE);
    g_source_remove(frameClock);
    while (redraws.asked)  // the last redraw's source goes before `redraws` does
        g_main_context_iteration(nullptr, TRUE);
    if (paints)
        *paints = redraws.done;
    return result;
}

const std::string ANSWER = "{\"jsonrpc\":\"2.0\",\"result\":0,\"id\":1}";
const std::string SETTLE_BEGIN = "{\"Event\":\"SettleBegin\"}";
const std::string SETTLING = "{\"Event\":\"Settling\",\"Distance\":2.31,\"Time\":1.0,\"SettleTime\":10.0}";
const std::string GUIDE_STEP = "{\"Event\":\"GuideStep\",\"Frame\":12,\"dx\":0.4,\"dy\":-0.2}";
const std::string SETTLED = "{\"Event\":\"SettleDone\",\"Status\":0,\"TotalFrames\":9,\"DroppedFrames\":0}";

TEST(Phd2Guider, EachAnswerEndsTheDither)
{
    struct Row {
        const char* name;
        std::vector<std::string> replies;
        bool silent;
        std::string outcome;
        int32_t giveUpMs = 5000;  // far beyond any answer on a slow machine
    };
    const Row rows[] = {
        {"settles", {ANSWER, SETTLE_BEGIN, SETTLING, GUIDE_STEP, SETTLED}, true, "settled"},
        {"a stale SettleDone before the answer is not ours",
         {"{\"Event\":\"SettleDone\",\"Status\":1,\"Error\":\"an earlier dither\"}", ANSWER, SETTLING, SETTLED},
         true,
         "settled"},
        {"malformed lines are skipped; a SettleDone without a numeric Status fails",
         {"not json", "[1,2]", "{\"Event\":5}", "{\"Event\":null,\"id\":\"x\"}", "{\"id\":{}}", ANSWER,
          "{\"Event\":\"SettleDone\",\"Status\":\"0\"}", SETTLED},
         true,
         "failed: settling failed"},
        {"not guiding: an error answer, with PHD2's reason",
         {"{\"jsonrpc\":\"2.0\",\"error\":{\"code\":1,\"message\":\"cannot dither if not guiding\"},\"id\":1}"},
         true,
         "failed: cannot dither if not guiding"},
        {"settling fails, with PHD2's reason",
         {ANSWER, SETTLE_BEGIN,
          "{\"Event\":\"SettleDone\",\"Status\":1,\"Error\":\"timed-out waiting for guider to "
          "settle\",\"TotalFrames\":70,\"DroppedFrames\":0}"},
         true,
         "failed: timed-out waiting for guider to settle"},
        {"the answer, then nothing", {ANSWER, SETTLE_BEGIN}, true, "failed: the guider did not finish settling", 300},
        {"the connection dropped", {ANSWER}, false, "failed: the guider closed the connection"},
        {"a megabyte without a line break", {ANSWER, OVERLONG}, true, "failed: guider sent an over-long line"},
        {"connected, never an answer: 5 s, not the settling time",
         {},
         true,
         "failed: no answer from the guider",
         60000},
        {"a flood of events, then settled", {ANSWER, FLOOD, SETTLED}, true, "settled"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakePhd2 server(row.replies, row.silent);
        int paints = 0;
        EXPECT_EQ(DitherAgainst(server.port, row.giveUpMs, &paints), row.outcome);
        EXPECT_EQ(server.request,
                  "{\"method\":\"dither\",\"params\":{\"amount\":3,\"raOnly\":false,\"settle\":{"
                  "\"pixels\":1.5,\"time\":10,\"timeout\":70}},\"id\":1}\r\n");
        // A second of flood: the window was redrawn all along (every 20
        // ms when nothing else is going on).
        if (row.replies.size() > 1 && row.replies[1] == FLOOD) {
            EXPECT_GE(paints, 10);
        }
    }
}

// The watch: every event handed on with what a run reads of it ("GuideStep
// 0.3 -0.4", "AppState Guiding"), over one connection; whatever the server
// sends, the watch ends with ConnectionLost at worst, and a redraw goes on.
TEST(Phd2Guider, WatchHandsOnEveryEvent)
{
    struct Row {
        const char* name;
        std::vector<std::string> replies;
        bool silent;
        std::vector<std::string> events;  // after Version and AppState
    };
    const std::string lost = "ConnectionLost";
    const Row rows[] = {
        {"events, in order",
         {"{\"Event\":\"GuideStep\",\"Frame\":3,\"RADistanceRaw\":0.3,\"DECDistanceRaw\":-0.4}",
          "{\"Event\":\"StarLost\",\"Frame\":4}", "{\"Event\":\"Paused\"}", "{\"Event\":\"Resumed\"}",
          "{\"Event\":\"GuideStep\",\"RADistanceRaw\":1,\"DECDistanceRaw\":2}"},
         true,
         {"GuideStep 0.3 -0.4", "StarLost", "Paused", "Resumed", "GuideStep 1 2"}},
        {"not JSON, not an object, no event name, numbers that are not numbers: skipped or read as 0",
         {"not json", "[1,2]", "{\"Event\":5}", "{\"id\":1}",
          "{\"Event\":\"GuideStep\",\"RADistanceRaw\":\"x\",\"DECDistanceRaw\":null}", "{\"Event\":\"StarLost\"}"},
         true,
         {"GuideStep 0 0", "StarLost"}},
        {"the connection dropped", {"{\"Event\":\"Paused\"}"}, false, {"Paused", lost}},
        {"a megabyte without a line break", {"{\"Event\":\"Paused\"}", OVERLONG}, true, {"Paused", lost}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakePhd2 server(row.replies, row.silent, false);
        auto guider = MakePhd2Guider("localhost", server.port);
        std::vector<std::string> events;
        guider->Watch([&events](const GuideEvent& event) {
            char text[96];
            std::snprintf(text, sizeof text, "%s%s%s", event.name.c_str(), event.state.empty() ? "" : " ",
                          event.state.c_str());
            std::string shown = text;
            if (event.name == "GuideStep") {
                std::snprintf(text, sizeof text, " %g %g", event.raDistanceRaw, event.decDistanceRaw);
                shown += text;
            }
            events.push_back(shown);
        });
        std::vector<std::string> expected = {"Version", "AppState Guiding"};
        expected.insert(expected.end(), row.events.begin(), row.events.end());
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (events.size() < expected.size() && std::chrono::steady_clock::now() < end)
            g_main_context_iteration(nullptr, FALSE);
        EXPECT_EQ(events, expected);
        guider->Unwatch();
    }
}

// A dropped watch is opened again at the next Watch, on a new connection.
TEST(Phd2Guider, ADroppedWatchIsOpenedAgain)
{
    FakePhd2 server({"{\"Event\":\"Paused\"}"}, false, false, 2);
    auto guider = MakePhd2Guider("localhost", server.port);
    std::vector<std::string> events;
    const auto record = [&events](const GuideEvent& event) { events.push_back(event.name); };
    for (int connection = 1; connection <= 2; ++connection) {
        guider->Watch(record);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (events.size() < 4u * connection && std::chrono::steady_clock::now() < end)
            g_main_context_iteration(nullptr, FALSE);
    }
    EXPECT_EQ(events,
              (std::vector<std::string>{"Version", "AppState", "Paused", "ConnectionLost", "Version", "AppState",
                                        "Paused", "ConnectionLost"}));
}

// While the guider is watched, a dither goes on the same connection (the
// stand-in serves only one), with the next request id, and its events go to
// the watch too.
TEST(Phd2Guider, ADitherWhileWatchedUsesTheWatchedConnection)
{
    const std::string answer = "{\"jsonrpc\":\"2.0\",\"result\":0,\"id\":2}";
    FakePhd2 server({ANSWER, answer, SETTLE_BEGIN, SETTLED}, true);
    auto guider = MakePhd2Guider("localhost", server.port);
    std::vector<std::string> events;
    guider->Watch([&events](const GuideEvent& event) { events.push_back(event.name); });
    std::string result;
    guider->Dither(DitherRequest(), [&result](const DitherOutcome& outcome) {
        result = outcome.settled ? "settled" : "failed: " + outcome.reason;
    });
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (result.empty() && std::chrono::steady_clock::now() < end)
        g_main_context_iteration(nullptr, FALSE);
    EXPECT_EQ(result, "settled");  // the answer to id 1 was not taken for it
    EXPECT_NE(server.request.find("\"id\":2}"), std::string::npos) << server.request;
    EXPECT_EQ(events, (std::vector<std::string>{"Version", "AppState", "SettleBegin", "SettleDone"}));
    guider->Unwatch();
}

// The guider's accept queue full (a guide computer booting): the watch's
// connection waits, and a dither given up on meanwhile must not go out when
// it is made.
TEST(Phd2Guider, ARequestGivenUpOnIsNeverSent)
{
    sockaddr_in address{};
    const int listener = ListenOnLoopback(0, address);
    const int filler = socket(AF_INET, SOCK_STREAM, 0);  // the queue's one place
    ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    auto guider = MakePhd2Guider("localhost", ntohs(address.sin_port));
    guider->Watch([](const GuideEvent&) {});
    guider->Dither(DitherRequest(), [](const DitherOutcome&) {});
    guider->Cancel();
    close(accept(listener, nullptr, nullptr));
    close(filler);
    fcntl(listener, F_SETFL, O_NONBLOCK);
    // The client tries again within a few seconds (its SYN is sent again).
    int watch = -1;
    std::string received;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    auto quiet = end;
    while (std::chrono::steady_clock::now() < std::min(end, quiet)) {
        g_main_context_iteration(nullptr, FALSE);
        if (watch < 0 && (watch = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK)) >= 0)
            quiet = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        char chunk[256];
        const ssize_t count = watch >= 0 ? read(watch, chunk, sizeof chunk) : 0;
        if (count > 0)
            received.append(chunk, static_cast<size_t>(count));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_GE(watch, 0) << "the watch never connected";
    EXPECT_EQ(received, "");
    guider->Unwatch();
    close(watch);
    close(listener);
}

TEST(Phd2Guider, NobodyListeningFailsAndACancelledDitherNeverAnswers)
{
    uint16_t freePort = 0;
    {
        FakePhd2 gone({}, false);  // a port that was free a moment ago
        freePort = gone.port;
        const int client = socket(AF_INET, SOCK_STREAM, 0);  // let the server go
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(freePort);
        connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
        close(client);
    }
    EXPECT_EQ(DitherAgainst(freePort), "failed: no guider is listening");

    FakePhd2 server({ANSWER, SETTLE_BEGIN, SETTLED}, true);
    auto guider = MakePhd2Guider("localhost", server.port);
    bool called = false;
    guider->Dither(DitherRequest(), [&called](const DitherOutcome&) { called = true; });
    guider->Cancel();
    bool later = false;
    g_timeout_add(
        300, [](gpointer flag) { return *static_cast<bool*>(flag) = true, G_SOURCE_REMOVE; }, &later);
    while (!later)
        g_main_context_iteration(nullptr, TRUE);
    EXPECT_FALSE(called);
}

}  // namespace

// The engine with the real client against the stand-in server, which plays
// a scripted sequence of events at the engine's virtual times: the wait for
// guiding, a lost star, the retake, a connection dropped mid-run.
#include "tests/engine_fixture.h"

namespace {

// The real guider, counting the events that reach the run.
class CountingGuider : public Guider {
public:
    explicit CountingGuider(uint16_t port)
        : real_(MakePhd2Guider("localhost", port))
    {
    }
    void Dither(const DitherRequest& request, std::function<void(const DitherOutcome&)> done) override
    {
        real_->Dither(request, std::move(done));
    }
    void Cancel() override { real_->Cancel(); }
    void Watch(std::function<void(const GuideEvent&)> onEvent) override
    {
        real_->Watch([this, onEvent](const GuideEvent& event) {
            ++received;
            onEvent(event);
        });
    }
    void Unwatch() override { real_->Unwatch(); }

    // Runs the main context until `count` events have come (at most 5 s).
    void AwaitEvents(int count)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (received < count && std::chrono::steady_clock::now() < end)
            g_main_context_iteration(nullptr, FALSE);
        EXPECT_EQ(received, count);
    }

    int received = 0;

private:
    std::unique_ptr<Guider> real_;
};

using GuideSession = EngineTest;

TEST_F(GuideSession, ScriptedEventsThroughTheRealClient)
{
    FakePhd2 server({"{\"Event\":\"AppState\",\"State\":\"Stopped\"}", PUSHED}, false, false);
    CountingGuider realGuider(server.port);
    SequenceRunner session(*fakes.ports, *clock, realGuider, sleep, log, view);
    session.Connect(PORT_SERIAL, OpenFakePort(fakes, PORT_SERIAL));
    session.WatchGuider(true);
    realGuider.AwaitEvents(3);  // Version, AppState twice (greeting, then ours)
    // Each line at its virtual time, the run going on once the client has
    // handed it on.
    const std::pair<int64_t, std::string> script[] = {
        {3000, "{\"Event\":\"StartGuiding\"}"},
        {5000, "{\"Event\":\"GuideStep\",\"RADistanceRaw\":0.3,\"DECDistanceRaw\":0.4}"},
        {6000, "{\"Event\":\"GuideStep\",\"RADistanceRaw\":0,\"DECDistanceRaw\":0}"},
        {7000, "{\"Event\":\"StarLost\",\"Frame\":9,\"Status\":-1}"},
        {8000, "{\"Event\":\"GuideStep\",\"RADistanceRaw\":-0.1,\"DECDistanceRaw\":0.2}"},
        {15000, DROP},
    };
    int events = 3;
    for (const auto& [atMs, line] : script) {
        clock->At(atMs, [&server, &realGuider, line = line, count = ++events] {
            server.Push(line);
            realGuider.AwaitEvents(count);  // the drop arrives as ConnectionLost
        });
    }
    RunSettings settings;
    settings.exposures = 1;
    settings.duration = 10;
    settings.beforeDelay = 0;
    settings.afterDelay = 0;
    settings.guideWaitSeconds = 60;
    settings.retakeSuspect = 1;
    session.Start(settings);
    clock->RunUntil([&session] { return !session.Busy(); });
    EXPECT_EQ(fakes.log.events,
              (std::vector<LineEvent>{{3000, "RTS 1"}, {13000, "RTS 0"}, {13000, "RTS 1"}, {23000, "RTS 0"}}));
    ASSERT_EQ(log.lines.size(), 2u);
    // sqrt((0.3² + 0.4² + 0 + 0.1² + 0.2²) / 3) = sqrt(0.1) = 0.32; the retake: the
    // connection lost 2 s in.
    EXPECT_EQ(log.lines[0].substr(log.lines[0].rfind(",done,")), ",done,window,,0.32,StarLost@4.0s,suspect");
    EXPECT_EQ(log.lines[1].substr(log.lines[1].rfind(",done,")), ",done,window,,,GuiderLost@2.0s,suspect");
    EXPECT_EQ(session.Tally().frames, 2);
    EXPECT_EQ(session.Tally().suspect, 2);
    EXPECT_EQ(session.Tally().retaken, 1);
    session.WatchGuider(false);
}

}  // namespace
