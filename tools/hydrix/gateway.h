// `hydrix serve`: the gateway is the program hydrix-serve beside hydrix, which takes the
// same command line. Only it needs the MQTT, SQLite and systemd libraries.
#pragma once

// Runs it in place of this process with these arguments; returns only when it cannot
// (with the exit code, after saying why).
int runGateway(char **argv);
// Has `check` and every command check the profile's [Serve] section as the gateway reads it.
void checkGatewaySection();
