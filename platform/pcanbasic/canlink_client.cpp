#include "canlink_client.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace pcan {

namespace {

#ifdef TAVELIN_CANLINK
const char* const kCanlink = TAVELIN_CANLINK;
const char* const kCanlinkGroup = TAVELIN_CANLINK_GROUP;
#else
const char* const kCanlink = nullptr;
const char* const kCanlinkGroup = "";
#endif

}  // namespace

CanlinkRun runCanlink(const std::vector<std::string>& args)
{
    if (!kCanlink || ::access(kCanlink, F_OK) != 0)
        return CanlinkRun::Absent;
    if (::access(kCanlink, X_OK) != 0)
        return CanlinkRun::NotAllowed;
    std::vector<char*> argv{const_cast<char*>(kCanlink)};
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    char* noEnv[] = {nullptr};
    posix_spawn_file_actions_t io;
    if (::posix_spawn_file_actions_init(&io) != 0)
        return CanlinkRun::Failed;
    for (int fd : {0, 1, 2})
        ::posix_spawn_file_actions_addopen(&io, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    // The helper gets standard input, output and error and nothing else: no
    // socket or file of this process, opened with O_CLOEXEC or not, reaches a
    // program that holds CAP_NET_ADMIN.
    ::posix_spawn_file_actions_addclosefrom_np(&io, 3);
    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, kCanlink, &io, nullptr, argv.data(), noEnv);
    ::posix_spawn_file_actions_destroy(&io);
    if (rc != 0)
        return rc == EACCES || rc == EPERM ? CanlinkRun::NotAllowed : CanlinkRun::Failed;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return CanlinkRun::Failed;  // reaped elsewhere: the caller looks at the link anyway
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return CanlinkRun::Done;
    return WIFEXITED(status) && WEXITSTATUS(status) == kCanlinkNoCapability ? CanlinkRun::NoCapability
                                                                           : CanlinkRun::Failed;
}

CanlinkRun canlinkConfigure(const std::string& ifname, uint32_t bitrate)
{
    return runCanlink({ifname, std::to_string(bitrate)});
}

CanlinkRun canlinkRestart(const std::string& ifname)
{
    return runCanlink({"--restart", ifname});
}

std::string canlinkHint(CanlinkRun run)
{
    if (run == CanlinkRun::NoCapability)
        return std::string("; the helper ") + kCanlink + " lacks its capability: run sudo setcap cap_net_admin+ep " +
               kCanlink;
    if (!kCanlink || ::access(kCanlink, F_OK) != 0 || ::access(kCanlink, X_OK) == 0)
        return "";
    return std::string(", or join the group ") + kCanlinkGroup + " (sudo adduser $USER " + kCanlinkGroup +
           ") and log in again";
}

}  // namespace pcan
