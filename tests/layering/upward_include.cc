// A source of a lower layer that reaches for the top one: built with the
// catalog layer's include view it must not compile, built with the app
// layer's it must.
#include "app/server.h"

int UsesTheServer(dirsync::Server& server) { return server.VolumeCount(); }
