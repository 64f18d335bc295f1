#pragma once

#include <chrono>

// Every duration the program waits on, in one place. The defaults are the
// program's own values; tests build a Timing with shorter ones and pass it at
// construction, so nothing in the program sleeps on a hard-coded duration.
struct Timing {
    using ms = std::chrono::milliseconds;

    // --- Unit link ---
    ms streamPeriod{60};          // one streaming pass
    ms streamIdlePoll{50};        // streaming switched off: how often to look again
    ms retryPause{100};           // between connection passes
    ms quietRetryReport{60000};   // after the first passes of an endless retry: one report per period
    ms wifiJoinWait{7000};        // after WifiCredentials, before asking for the network status
    ms replyTimeout{10000};       // request to its matching reply
    ms writeTimeout{10000};       // one frame onto the wire
    ms unitConnectBound{10000};   // one connection attempt to the unit (the system's own bound is about two minutes)
    ms broadcastAnswerWait{2000}; // broadcast probe to reading the answers
    ms interfaceLookupPause{2000}; // after the local network interfaces could not be looked up

    // --- Session recording ---
    ms recordingWritePoll{100};   // the writer waiting for a slow file looks at its stop and drops this often
    ms recordingDrainBound{500};  // a stop waiting for the file to take what is queued

    // --- Datagram side channel ---
    ms udpReceivePoll{100};       // receive thread looks at its stop flag this often
    ms udpAnswerPoll{20};         // waiting for the first answer (30 looks)
    ms udpResponsePoll{10};       // waiting for the next answer (30 looks)

    // --- Bridge ---
    ms supervisionCycle{2000};    // one supervision cycle of the bridge
    ms calibrationPoll{120};      // calibration thread's schedule
    ms savePause{2000};           // between the steps of saving calibrations
    ms calibrationJoinBound{5000}; // destruction waiting for the calibration thread
    ms clientCloseBound{5000};    // destruction waiting for each simulator client to close

    // --- Program ---
    ms stopBound{1500};           // a stop signal to the end of the process, however busy the main thread

    // --- Simulator client library ---
    ms reconnectPause{1000};      // between reconnect attempts
    ms connectBound{5000};        // one TCP connect attempt
    ms keepAliveInterval{3000};   // APP keep-alive frames
    ms partialFrameGrace{2000};   // a frame stalled mid-body after a close request
    ms facadePollStep{20};        // the facade's waits look this often
    ms closeWait{2000};           // the facade's close waiting for STATE_CLOSED
    ms receiveTimeout{1000};      // one socket read: the receive thread looks at the state this often
    ms sendTimeout{30000};        // one socket write
    ms receiveThreadJoinBound{2000}; // an open waiting for the previous, already closed receive thread
    ms threadStopBound{10000};    // a thread wrapper's kill waiting for its thread before detaching it
};
