"""Output files of the recorder, written with plain system calls: through the page cache, or past it
(O_DIRECT) where the file system allows it. Either way the end of the last complete frame is known,
so that a failed write can cut the file back to it."""

import os


class FileSink:
    """An output file written with plain system calls, so that what was handed to write() is in
    the file even if the process is killed next, and the end of the last complete frame is known."""

    def __init__(self, path):
        self.path = str(path)
        self.fd = os.open(self.path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o644)
        self.position = 0
        self.committed = 0  # end of the last complete frame

    def write(self, data):
        view = memoryview(data).cast("B")
        length = view.nbytes
        while view.nbytes:
            view = view[os.write(self.fd, view):]
        self.position += length
        return length

    def tell(self):
        return self.position

    def flush(self):
        pass

    def commit(self):
        self.committed = self.position

    def rollback(self):
        """Cuts the file back to the end of the last complete frame."""
        os.ftruncate(self.fd, self.committed)
        os.lseek(self.fd, self.committed, os.SEEK_SET)
        self.position = self.committed

    def pwrite(self, data, offset):
        if os.pwrite(self.fd, data, offset) != len(data):
            raise OSError(f"short write to {self.path}")

    def close(self):
        if self.fd >= 0:
            fd, self.fd = self.fd, -1
            os.close(fd)


class DirectSink(FileSink):
    """A FileSink that writes past the page cache (O_DIRECT) from an aligned staging buffer.

    Appending to the page cache costs the kernel more than all the rest of the recorder (about
    1.5 ms per megabyte on a small machine); written directly, a frame costs a copy into the staging
    buffer and one system call. Each commit writes the staged bytes in whole blocks, the last one
    padded: the bytes of a frame are on the disk once it is committed, and the next commit writes
    that last block again with what follows. Finishing (or any failure) cuts the padding off and
    goes on through the page cache."""

    BLOCK = 4096

    def __init__(self, path):
        import mmap
        self.path = str(path)
        self.fd = os.open(self.path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC | os.O_DIRECT, 0o644)
        self.position = 0
        self.committed = 0
        self.base = 0  # file offset of the staging buffer's first byte, a whole number of blocks
        self._mmap = mmap
        self.stage = mmap.mmap(-1, 1 << 20)
        self.staged = 0
        self.direct = True

    def write(self, data):
        if not self.direct:
            return super().write(data)
        view = memoryview(data).cast("B")
        end = self.staged + view.nbytes
        if end > len(self.stage):
            grown = self._mmap.mmap(-1, (end + end // 2 + self.BLOCK - 1) // self.BLOCK * self.BLOCK)
            grown[:self.staged] = self.stage[:self.staged]
            self.stage.close()
            self.stage = grown
        self.stage[self.staged:end] = view
        self.staged = end
        self.position += view.nbytes
        return view.nbytes

    def commit(self):
        if self.direct and self.staged:
            blocks = (self.staged + self.BLOCK - 1) // self.BLOCK * self.BLOCK
            self.stage[self.staged:blocks] = bytes(blocks - self.staged)
            view = memoryview(self.stage)[:blocks]
            try:
                written = 0
                while written < blocks:
                    written += os.pwrite(self.fd, view[written:], self.base + written)
            finally:
                view.release()
            whole = self.staged // self.BLOCK * self.BLOCK
            tail = self.staged - whole
            self.stage[:tail] = self.stage[whole:self.staged]
            self.base += whole
            self.staged = tail
        self.committed = self.position

    def buffered(self):
        """Goes on through the page cache from the end of the last commit; the padding, and what
        was staged since, is cut off."""
        if self.direct:
            self.direct = False
            os.close(self.fd)
            self.fd = os.open(self.path, os.O_WRONLY | os.O_CLOEXEC)
            os.ftruncate(self.fd, self.committed)
            os.lseek(self.fd, self.committed, os.SEEK_SET)
            self.position = self.committed
            self.stage.close()

    def rollback(self):
        self.buffered()
        super().rollback()

    def pwrite(self, data, offset):
        self.commit()
        self.buffered()
        super().pwrite(data, offset)

    def close(self):
        if self.fd >= 0:
            self.commit()
            self.buffered()
        super().close()


def open_sink(path, direct):
    """A direct sink where the file system takes O_DIRECT (tmpfs, for one, does not), else a
    buffered one."""
    if direct and hasattr(os, "O_DIRECT"):
        try:
            return DirectSink(path)
        except OSError:
            pass
    return FileSink(path)
