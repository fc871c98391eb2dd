#pragma once
// Proxies that run every file-system and file operation on an executor, so
// that any thread (a plain host thread included) can use objects that belong
// to the executor's vCPU. Each call blocks the caller until the result and its
// errno are back. The proxy owns its target and deletes it on the executor.

#include "zentho/fs/forwardfs.h"
#include "zentho/io/reset_handle.h"
#include "zentho/thread/executor.h"

namespace zentho {
namespace fs {

class IExecForwardFS : public ForwardFSBase, public IFileSystemXAttr {
public:
    using ForwardFSBase::ForwardFSBase;
    // The file system the proxy forwards to.
    virtual IFileSystem* get_target_fs() = 0;
    // The executor in use now; after a fork in the child, its replacement.
    virtual Executor* get_executor() = 0;
};

class IExecForwardFile : public ForwardFileBase, public IFileXAttr {
public:
    using ForwardFileBase::ForwardFileBase;
};

// Null for a null target. With own_executor the proxy destroys the executor
// after the target. In a forked child the proxy starts a new executor (which
// it then owns); the parent's is abandoned.
IExecForwardFS* new_exec_forward_fs(IFileSystem* target, Executor* executor, bool own_executor = true);

}  // namespace fs
}  // namespace zentho
