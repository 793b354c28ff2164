// The common buffers' gate. Process calls on several processors read the video buffers, and the
// engines are given the buffers' addresses, while teardown may free them: a reader enters the gate
// first, and teardown closes it and waits for the readers in it before anything is freed.
#pragma once

#include "driver/core/devext.h"

// True when the buffers may be read now, until ReleaseBuffers.
bool AcquireBuffers(devext* ext);
void ReleaseBuffers(devext* ext);
// Once the buffers are allocated and the card is set up.
void OpenBuffers(devext* ext);
// Passive level: closes the gate and returns once no reader holds the buffers; a Process call
// waiting for a frame is woken so that it sees the gate closed.
void CloseBuffers(devext* ext);
