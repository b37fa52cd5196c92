// What the POSIX provider offers beyond the file-system table: settings of its copies that the
// platform layer and the tests reach.
#pragma once

// With refuse, every later copy goes through a named temporary file, as on a file system without
// unnamed files (O_TMPFILE); without, copies try unnamed files again.
void PosixRefuseUnnamedFiles(bool refuse);

// Reads the process's file-creation mask anew; copies rely on the value last read to decide
// whether a file's mode can be given at creation, so call it whenever the mask may have changed.
void PosixReadCreationMask();

// With one, full listings describe every record on the calling thread; without, the records of a
// large read are described half by a helper thread where there is a second core.
void PosixDescribeOnOneCore(bool one);

// With stepwise, writes below a guarded root open their folders one component at a time, as on
// kernels without openat2 (before 5.6); without, openat2 is tried again.
void PosixResolveStepwise(bool stepwise);
