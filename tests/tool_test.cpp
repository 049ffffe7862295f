// Runs the built tool as a child process and checks exactly what a script
// would see: the bytes on standard output and standard error, and how the
// process ended.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

extern char** environ;

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

    std::vector<char*> argv;
    for (const auto& a : args) {
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
        execve(ESCAPE_SPECIAL_TOOL, argv.data(), environ);
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
