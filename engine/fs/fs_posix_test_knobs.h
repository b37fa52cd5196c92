// Settings of the POSIX provider that only tests change: each makes it take the path it would take
// on another kernel, file system or machine, so that both paths run on this one. The product never
// calls them.
#pragma once

// With refuse, every later copy goes through a named temporary file, as on a file system without
// unnamed files (O_TMPFILE); without, copies try unnamed files again.
void PosixRefuseUnnamedFiles(bool refuse);

// With one, full listings describe every record on the calling thread; without, the records of a
// large read are described half by a helper thread where there is a second core.
void PosixDescribeOnOneCore(bool one);

// With stepwise, writes below a guarded root open their folders one component at a time, as on
// kernels without openat2 (before 5.6); without, openat2 is tried again.
void PosixResolveStepwise(bool stepwise);
