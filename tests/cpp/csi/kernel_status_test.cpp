// statusFromErrno: the status of a kernel request's result by the kind of request, whatever the errno
// and whichever sign it comes with.
#include <errno.h>
#include <gtest/gtest.h>

#include "system/KernelStatus.h"

using namespace Zentrox;

namespace {

TEST(KernelStatus, EveryFailureGivesTheCodeOfItsKindOfRequest) {
    const int errnos[] = {EINVAL, EBUSY, ENODEV, EIO, EINTR, EAGAIN, ETIMEDOUT, ENOMEM, EBADF, ENOTTY, EPERM};
    const struct {
        KernelRequest request;
        int status;
    } kinds[] = {{KernelRequest::SETTING, ZentroxUnkownError}, {KernelRequest::DEVICE, ZentroxSystemError}};
    for (const auto& kind : kinds) {
        EXPECT_EQ(statusFromErrno(0, kind.request), ZentroxSuccess);
        // A result that is neither 0 nor -errno (a node answering another format) is a failure too.
        EXPECT_EQ(statusFromErrno(1, kind.request), kind.status);
        for (int err : errnos) {
            EXPECT_EQ(statusFromErrno(-err, kind.request), kind.status) << "-errno " << err;
            EXPECT_EQ(statusFromErrno(err, kind.request), kind.status) << "errno " << err;
        }
    }
}

}  // namespace
