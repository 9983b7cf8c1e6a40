#pragma once
// The machine identifier sent to the gateway: the 32 hexadecimal characters
// of the system's machine id ("/etc/machine-id", else
// "/var/lib/dbus/machine-id"), all zero when neither can be read.
extern unsigned char UUID_DATA[32];

// Reads the machine id again into UUID_DATA.
void GetUUID();
