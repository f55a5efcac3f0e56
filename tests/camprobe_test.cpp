// Camprobe run as a program on a pseudo-terminal: its report of the first
// camera, its wait for ESC in raw mode and its end when there is no terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"
#include "pty_session.h"

namespace {

using harness::find_line;

const char* kPrompt = "Press ESC to exit! \n";

const char* kDefaultReport =
    "SDK version: 1.0.0\n"
    "Device name: Vantra DC-1 Simulated Depth Camera\n"
    "Device pid: 4096 vid: 65534 uid: sim-usb-1-1\n"
    "Firmware version: 1.0.0-sim\n"
    "Serial number: SIM00000001\n"
    "Sensor types: \n"
    "\tColor sensor\n"
    "\tDepth sensor\n"
    "\tIR sensor\n"
    "\tIMU sensor\n"
    "Press ESC to exit! \n";

// Camprobe on a new terminal, through a scenario of the simulated camera.
struct Probe {
    harness::Scratch dir;
    pty::Session session;
    explicit Probe(const std::string& scenario, bool ignore_hangup = false)
        : session(harness::bin("camprobe"), dir.sim_env(scenario), pty::user_attributes(),
                  ignore_hangup) {}

    // Waits for the prompt and for the wait on the keyboard behind it.
    void reach_wait() {
        ASSERT_TRUE(session.wait_for_output(kPrompt)) << session.output();
        ASSERT_TRUE(session.wait_until_reading());
    }
    // Types ESC and waits for the end.
    harness::Result escape() {
        session.type("\x1b");
        return session.wait();
    }
};

TEST(CamprobeReport, EverySensorKindAndDecimalIdentifiers) {
    Probe p(R"({"sdk_version": [2, 7, 13],
                "devices": [{"name": "Bench Cam", "pid": 4660, "vid": 11205, "uid": "usb-3-2",
                             "firmware_version": "5.1.0", "serial_number": "AB123",
                             "sensors": ["color", "depth", "ir", "imu"]}]})");
    ASSERT_NO_FATAL_FAILURE(p.reach_wait());
    // The wait is in raw mode; the user's own settings come back at the end.
    EXPECT_TRUE(pty::is_raw(p.session.attributes()));
    harness::Result r = p.escape();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "SDK version: 2.7.13\n"
              "Device name: Bench Cam\n"
              "Device pid: 4660 vid: 11205 uid: usb-3-2\n"
              "Firmware version: 5.1.0\n"
              "Serial number: AB123\n"
              "Sensor types: \n"
              "\tColor sensor\n"
              "\tDepth sensor\n"
              "\tIR sensor\n"
              "\tIMU sensor\n"
              "Press ESC to exit! \n");
    EXPECT_TRUE(pty::same_attributes(p.session.attributes(), pty::user_attributes()));

    // The version comes first, before any SDK object.
    std::vector<std::string> trace = p.dir.trace();
    ASSERT_GE(trace.size(), 4u);
    EXPECT_EQ(trace[0], "vt_get_major_version()");
    EXPECT_EQ(trace[1], "vt_get_minor_version()");
    EXPECT_EQ(trace[2], "vt_get_patch_version()");
    EXPECT_EQ(trace[3], "vt_create_context()");
}

TEST(CamprobeReport, NoCameraGivesTwoLinesAndStatus255WithoutWaiting) {
    Probe p(R"({"devices": []})");
    harness::Result r = p.session.wait();  // no key is typed
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "SDK version: 1.0.0\nDevice not found!\n");
    EXPECT_TRUE(pty::same_attributes(p.session.attributes(), pty::user_attributes()));
    EXPECT_EQ(p.dir.trace().back(), "vt_device_list_device_count(device_list)");
}

TEST(CamprobeReport, FirstCameraOnlyAndKnownSensorsInListOrder) {
    Probe p(R"({"devices": [
        {"name": "First", "pid": -5, "vid": 0, "uid": "a", "firmware_version": "f1",
         "serial_number": "s1", "sensors": [0, "depth", 7, "ir", "depth", 5, "color", "color",
                                            "imu", 4294967295]},
        {"name": "Second", "serial_number": "s2", "sensors": ["ir"]}]})");
    ASSERT_NO_FATAL_FAILURE(p.reach_wait());
    harness::Result r = p.escape();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "SDK version: 1.0.0\n"
              "Device name: First\n"
              "Device pid: -5 vid: 0 uid: a\n"
              "Firmware version: f1\n"
              "Serial number: s1\n"
              "Sensor types: \n"
              "\tDepth sensor\n"
              "\tIR sensor\n"
              "\tDepth sensor\n"
              "\tColor sensor\n"
              "\tColor sensor\n"
              "\tIMU sensor\n"
              "Press ESC to exit! \n");
    std::vector<std::string> trace = p.dir.trace();
    EXPECT_NE(find_line(trace, "vt_get_device(device_list, 0)"), -1);
    EXPECT_EQ(find_line(trace, "vt_get_device(device_list, 1)"), -1);
    EXPECT_EQ(harness::count_lines(trace, "vt_sensor_list_get_sensor_type"), 10);
}

TEST(CamprobeReport, NoSensorsGivesTheHeadingThenThePrompt) {
    Probe p(R"({"devices": [{"sensors": []}]})");
    ASSERT_NO_FATAL_FAILURE(p.reach_wait());
    harness::Result r = p.escape();
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Serial number: SIM00000001\nSensor types: \nPress ESC to exit! \n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(find_line(p.dir.trace(), "vt_sensor_list_get_sensor_type"), -1);
}

TEST(CamprobeReport, FailuresKeepTheLinesBeforeThemInAFileAndAPipe) {
    harness::Scratch dir;
    harness::Result context = harness::run(
        harness::bin("camprobe"),
        dir.sim_env(
            R"({"sdk_version": [3, 1, 4], "faults": [{"call": "vt_create_context", "message": "usb stack down", "type": 5}]})"));
    EXPECT_EQ(context.status, 1);
    EXPECT_EQ(context.out,
              "SDK version: 3.1.4\n"
              "vt_error was raised when calling vt_create_context():\n"
              "error message:    usb stack down\n"
              "error Type:    5\n");

    harness::Scratch dir2;
    harness::Result sensors = harness::run(
        harness::bin("camprobe"),
        dir2.sim_env(
            R"({"faults": [{"call": "vt_device_get_sensor_list", "message": "gone", "type": 4}]})"),
        harness::Process::Output::pipe);
    EXPECT_EQ(sensors.status, 1);
    EXPECT_EQ(sensors.out,
              "SDK version: 1.0.0\n"
              "Device name: Vantra DC-1 Simulated Depth Camera\n"
              "Device pid: 4096 vid: 65534 uid: sim-usb-1-1\n"
              "Firmware version: 1.0.0-sim\n"
              "Serial number: SIM00000001\n"
              "Sensor types: \n"
              "vt_error was raised when calling vt_device_get_sensor_list(device):\n"
              "error message:    gone\n"
              "error Type:    4\n");
    EXPECT_EQ(context.err + sensors.err, "");
}

TEST(CamprobeKeys, OtherKeysAreReadWithoutEchoAndIgnored) {
    Probe p("{}");
    ASSERT_NO_FATAL_FAILURE(p.reach_wait());
    long long before = p.session.bytes_read();
    // Letters, the interrupt key and Enter: all read, none ends the wait.
    p.session.type("ab\x03\r");
    ASSERT_TRUE(p.session.wait_until_reading(before + 4));
    EXPECT_TRUE(pty::is_raw(p.session.attributes()));
    EXPECT_EQ(p.session.output(), kDefaultReport);  // nothing echoed
    harness::Result r = p.escape();
    EXPECT_EQ(r.status, 0);  // not killed by an interrupt
    EXPECT_EQ(r.out, kDefaultReport);
    EXPECT_TRUE(pty::same_attributes(p.session.attributes(), pty::user_attributes()));
}

TEST(CamprobeKeys, CursorKeyEndsTheWaitWithItsLeadingEsc) {
    Probe p("{}");
    ASSERT_NO_FATAL_FAILURE(p.reach_wait());
    p.session.type("\x1b[A");
    harness::Result r = p.session.wait();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kDefaultReport);
    EXPECT_TRUE(pty::same_attributes(p.session.attributes(), pty::user_attributes()));
}

TEST(CamprobeKeys, SignalDuringTheWaitRestoresTheTerminalAndEndsByIt) {
    for (int signal_number : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal_number);
        Probe p("{}");
        ASSERT_NO_FATAL_FAILURE(p.reach_wait());
        ASSERT_TRUE(pty::is_raw(p.session.attributes()));
        kill(p.session.pid(), signal_number);
        harness::Result r = p.session.wait();
        EXPECT_EQ(r.status, 128 + signal_number);
        EXPECT_TRUE(pty::same_attributes(p.session.attributes(), pty::user_attributes()));
    }
}

// Camprobe with standard input from a pipe whose writing end stays open.
harness::Result run_on_open_pipe(const harness::Scratch& dir) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return {};
    std::string out = dir.path("out.txt");
    harness::Launch launch({harness::bin("camprobe")}, dir.sim_env());
    launch.in = fds[0];
    launch.out = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    harness::Result r;
    {
        harness::Child camprobe(launch);
        close(fds[0]);
        close(launch.out);
        r = camprobe.wait(20);
    }
    close(fds[1]);
    r.out = harness::read_file(out);
    return r;
}

TEST(CamprobeNoTerminal, InputFromDevNullOrAPipeEndsAfterTheWholeReport) {
    harness::Scratch dir;
    harness::Result null_input = harness::run(harness::bin("camprobe"), dir.sim_env());
    EXPECT_FALSE(null_input.timed_out);
    EXPECT_EQ(null_input.status, 0);
    EXPECT_EQ(null_input.out, kDefaultReport);

    harness::Result pipe_input = run_on_open_pipe(dir);
    EXPECT_FALSE(pipe_input.timed_out);
    EXPECT_EQ(pipe_input.status, 0);
    EXPECT_EQ(pipe_input.out, kDefaultReport);
}

// Also with standard output closed: the SDK's trace file must not become
// descriptor 1 and take the report.
TEST(CamprobeNoTerminal, ReportThatCannotBeWrittenIsAFailure) {
    harness::Scratch dir;
    harness::Result full = harness::run(
        {"/bin/sh", "-c", "exec \"$0\" >/dev/full", harness::bin("camprobe")}, dir.sim_env());
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.err, "camprobe: the report could not be written: No space left on device\n");
    harness::Result closed =
        harness::run({"/bin/sh", "-c", "exec \"$0\" >&-", harness::bin("camprobe")}, dir.sim_env());
    EXPECT_EQ(closed.status, 1);
    EXPECT_EQ(closed.err, "camprobe: the report could not be written: Bad file descriptor\n");
    std::vector<std::string> trace = dir.trace();
    EXPECT_EQ(find_line(trace, "vt_get_major_version()"), 0);
    for (const std::string& line : trace) {
        EXPECT_TRUE(line.rfind("vt_", 0) == 0 && line.back() == ')') << line;
    }
}

// The simulated SDK's own files pointed where a user might point them: what
// is not a regular file of sensible size is refused, and nothing waits.
TEST(CamprobeNoTerminal, SdkFilesThatCannotServeAreRefusedAndNeverBlock) {
    harness::Scratch dir;
    std::string fifo = dir.path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string big = dir.write("big.json", "{}" + std::string(16 << 20, ' '));
    auto report = [](const std::string& message) {
        return "SDK version: 1.0.0\nvt_error was raised when calling vt_create_context():\n"
               "error message:    " +
               message + "\nerror Type:    6\n";
    };
    for (const std::string& scenario : {std::string("/dev/zero"), fifo, big}) {
        std::map<std::string, std::string> env = dir.sim_env();
        env["VANTRA_SIM_SCENARIO"] = scenario;
        harness::Result r = harness::run(harness::bin("camprobe"), env);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out,
                  report("scenario file '" + scenario + "': " +
                         (scenario == big ? "is larger than 16 MB" : "is not a regular file")));
    }

    // A trace FIFO: without a reader it is an error; with one that does not
    // read, the lines that do not fit are left out, and that is said once.
    std::map<std::string, std::string> env = dir.sim_env();
    env["VANTRA_SIM_TRACE"] = fifo;
    harness::Result unread = harness::run(harness::bin("camprobe"), env);
    EXPECT_EQ(unread.status, 1);
    EXPECT_EQ(unread.out, report("trace file '" + fifo + "': a FIFO that no one reads"));
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ASSERT_GE(writer, 0);
    std::string block(4096, 'x');
    while (write(writer, block.data(), block.size()) > 0) {
    }
    harness::Result stalled = harness::run(harness::bin("camprobe"), env);
    close(writer);
    close(reader);
    EXPECT_EQ(stalled.status, 0);
    EXPECT_EQ(stalled.out, kDefaultReport);
    EXPECT_EQ(stalled.err, "simulated SDK: trace file '" + fifo +
                               "': its reader does not keep up; lines are left out of the trace\n");

    // A character device serves as always.
    env["VANTRA_SIM_TRACE"] = "/dev/stderr";
    harness::Result device = harness::run(harness::bin("camprobe"), env);
    EXPECT_EQ(device.status, 0);
    EXPECT_EQ(device.err.rfind("vt_get_major_version()\nvt_get_minor_version()\n", 0), 0u)
        << device.err;
}

TEST(CamprobeNoTerminal, TerminalHangingUpEndsTheWait) {
    Probe p("{}", /*ignore_hangup=*/true);
    ASSERT_NO_FATAL_FAILURE(p.reach_wait());
    p.session.hang_up();
    harness::Result r = p.session.wait();
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kDefaultReport);
}

}  // namespace
