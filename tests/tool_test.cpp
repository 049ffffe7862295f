// Runs the built tool as a child process and checks exactly what a script
// would see: the bytes on standard output and standard error, and how the
// process ended.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>


namespace {

enum class output { pipe, closed, dev_full, broken_pipe };

struct outcome {
    int status = -1;
    std::string out;
    std::string err;

    bool exited_with(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
};

std::string read_all(int fd)
{
    std::string data;
    char buf[65536];
    for (;;) {
        const ssize_t got = read(fd, buf, sizeof buf);
        if (got > 0) {
            data.append(buf, static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            return data;
        }
    }
}

// The words of the command that runs the tool's target on this machine,
// tab-separated, when the tests are cross-built; empty otherwise.
std::vector<std::string> emulator()
{
    std::vector<std::string> words;
    const std::string all = ESCAPE_SPECIAL_EMULATOR;
    for (std::size_t at = 0; at < all.size();) {
        const std::size_t end = std::min(all.find('\t', at), all.size());
        words.push_back(all.substr(at, end - at));
        at = end + 1;
    }
    return words;
}

const bool emulated = !emulator().empty();

// An empty `args` runs the tool with no argument vector at all (argc 0).
// A non-zero `address_space` caps the child's RLIMIT_AS, in bytes.
outcome run(const std::vector<std::string>& args, output where = output::pipe,
            rlim_t address_space = 0)
{
    int out_pipe[2] = {-1, -1};
    int err_pipe[2];
    if (pipe(err_pipe) != 0) {
        ADD_FAILURE() << "pipe failed";
        return {};
    }
    if (where == output::pipe || where == output::broken_pipe) {
        if (pipe(out_pipe) != 0) {
            ADD_FAILURE() << "pipe failed";
            return {};
        }
        if (where == output::broken_pipe) {
            // No process holds the read end, so every write fails with EPIPE.
            close(out_pipe[0]);
            out_pipe[0] = -1;
        }
    }

    // Under qemu-user, -0 gives the tool its own argv[0].
    std::vector<std::string> words;
    std::string program = ESCAPE_SPECIAL_TOOL;
    if (emulated) {
        words = emulator();
        program = words.front();
        if (!args.empty()) {
            words.insert(words.end(), {"-0", args.front()});
        }
        words.push_back(ESCAPE_SPECIAL_TOOL);
        words.insert(words.end(), args.begin() + (args.empty() ? 0 : 1), args.end());
    } else {
        words = args;
    }
    std::vector<char*> argv;
    for (const auto& a : words) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        // The test runner may ignore SIGPIPE, and that would be inherited.
        signal(SIGPIPE, SIG_DFL);
        // A hung tool is killed rather than hanging the suite.
        alarm(30);
        if (address_space != 0) {
            const rlimit limit{address_space, address_space};
            setrlimit(RLIMIT_AS, &limit);
        }
        dup2(err_pipe[1], 2);
        switch (where) {
        case output::pipe:
        case output::broken_pipe:
            dup2(out_pipe[1], 1);
            break;
        case output::closed:
            close(1);
            break;
        case output::dev_full:
            dup2(open("/dev/full", O_WRONLY), 1);
            break;
        }
        for (int fd = 3; fd < 64; ++fd) {
            close(fd);
        }
        execvp(program.c_str(), argv.data());
        _exit(127);
    }

    outcome result;
    close(err_pipe[1]);
    if (out_pipe[1] != -1) {
        close(out_pipe[1]);
    }
    if (out_pipe[0] != -1) {
        result.out = read_all(out_pipe[0]);
        close(out_pipe[0]);
    }
    result.err = read_all(err_pipe[0]);
    close(err_pipe[0]);
    waitpid(pid, &result.status, 0);
    return result;
}

const std::string usage = "usage: program STRING";
const std::string tool = "escape-special";

// The longest argument Linux passes, every byte special, and its escape.
const std::string longest(131071, '.');
const std::string longest_escaped = [] {
    std::string s;
    for (std::size_t i = 0; i < longest.size(); ++i) {
        s += "\\.";
    }
    return s;
}();

TEST(tool, wrong_argument_count_prints_usage)
{
    const std::vector<std::string> argvs[] = {
        {},
        {tool},
        {tool, "a.b", "c.d"},
        {tool, "", ""},
        {tool, "a", "b", "c"},
        {"some-other-name"},
        {""},
    };
    for (const auto& argv : argvs) {
        if (argv.empty() && emulated) {
            // qemu-user always gives its program an argv[0].
            continue;
        }
        const outcome r = run(argv);
        EXPECT_TRUE(r.exited_with(0)) << "argc " << argv.size();
        EXPECT_EQ(r.out, usage) << "argc " << argv.size();
        EXPECT_EQ(r.err, "") << "argc " << argv.size();
    }
}

TEST(tool, one_argument_is_escaped_exactly)
{
    const struct {
        std::string arg;
        std::string expected;
    } cases[] = {
        {"a.b", "a\\.b"},
        {"", ""},
        {"a b.c", "a b\\.c"},
        {"--help", "--help"},
        {"-", "-"},
        {"%s%n%x", "%s%n%x"},
        {"(a+)?", "\\(a\\+\\)\\?"},
        {"\\.", "\\\\."},
        {"\xC3\xA9\n", "\xC3\xA9\n"},
    };
    for (const auto& c : cases) {
        const outcome r = run({tool, c.arg});
        EXPECT_TRUE(r.exited_with(0)) << c.arg;
        EXPECT_EQ(r.out, c.expected) << c.arg;
        EXPECT_EQ(r.err, "") << c.arg;
    }
}

TEST(tool, longest_argument_is_escaped_whole)
{
    const outcome r = run({tool, longest});
    EXPECT_TRUE(r.exited_with(0));
    EXPECT_EQ(r.out.size(), 262142u);
    EXPECT_EQ(r.out, longest_escaped);
    EXPECT_EQ(r.err, "");
}

TEST(tool, failed_output_keeps_status_zero)
{
    const std::vector<std::string> argvs[] = {
        {tool},
        {tool, "a.b"},
        {tool, longest},
    };
    for (const output where : {output::closed, output::dev_full, output::broken_pipe}) {
        for (const auto& argv : argvs) {
            const outcome r = run(argv, where);
            EXPECT_TRUE(r.exited_with(0))
                << "output " << static_cast<int>(where) << ", argc " << argv.size()
                << ", wait status " << r.status;
            EXPECT_EQ(r.err, "");
        }
    }
}

// Scan address-space limits from too small to start at all up to plenty.
// Somewhere in between the tool starts but cannot allocate the result; there
// it must end cleanly, and at no limit may it abort or write part of the
// result.
TEST(tool, out_of_memory_fails_cleanly)
{
#if defined(ESCAPE_SPECIAL_SANITIZED)
    GTEST_SKIP() << "sanitizer runtimes need far more address space than any limit here";
#endif
    if (emulated) {
        GTEST_SKIP() << "qemu-user accepts RLIMIT_AS but does not enforce it";
    }
    int clean_failures = 0;
    bool succeeded = false;
    for (rlim_t limit = 64 << 10; limit <= 32 << 20; limit += 32 << 10) {
        const outcome r = run({tool, longest}, output::pipe, limit);
        ASSERT_FALSE(WIFSIGNALED(r.status) && WTERMSIG(r.status) == SIGABRT)
            << "aborted at limit " << limit;
        if (r.exited_with(0) && r.out == longest_escaped && r.err.empty()) {
            succeeded = true;
            continue;
        }
        ASSERT_FALSE(succeeded) << "failed at limit " << limit << " after succeeding below it";
        ASSERT_EQ(r.out, "") << "partial output at limit " << limit;
        if (r.exited_with(1)) {
            ASSERT_EQ(r.err, "escape-special: out of memory\n") << "at limit " << limit;
            ++clean_failures;
        }
    }
    EXPECT_TRUE(succeeded);
    EXPECT_GT(clean_failures, 0);
}

}
