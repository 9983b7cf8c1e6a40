#pragma once
// Keeps descriptors 0, 1 and 2 taken: any of them that is closed (as after a
// daemon detaches) is opened on /dev/null, so no socket or file of the daemon
// ever gets one of them and is mistaken for standard input or output.
void ReopenStandardDescriptorsOnDevNull();
