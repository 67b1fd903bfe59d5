// Who may change the Printer Application and how clients reach it: the
// server's own start-up (a domain socket only root can reach, private
// files) and the check that keeps administration for administrators.
#pragma once

#include <pappl/pappl.h>

#include <string>

// Runs the server: `server [-o NAME=VALUE]...`. Its files are private to
// the user it runs as, and the domain socket that PAPPL trusts with every
// operation sits in a folder only that user can enter.
int RunServer(int argc, char* argv[], const char* version, pappl_ml_system_cb_t systemCallback);

// With a PAM service named, printer and system changes (IPP and web
// interface) need a user of the admin group ("lpadmin" unless named) who
// logs in over HTTP Basic; printing and status stay open. Without one,
// PAPPL's own rule holds: loopback clients may change everything.
void SetUpAdministration(pappl_system_t* system, const char* authService, const char* adminGroup);

// True when path is a folder of this user's that no one else can enter;
// otherwise false with the reason.
bool IsPrivateFolder(const char* path, std::string& error);
