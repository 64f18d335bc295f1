#pragma once

// A seam for tests: the unit link asks it before each of its input and output
// operations (a connection attempt, one write of a frame, one read), and it
// may make that one operation fail the way a network makes it fail. Called
// from whichever thread does the operation.
enum class UnitIo { connect, write, read };

enum class UnitIoFault {
    none,
    fail,        // the operation fails; a connection it was on is dead
    shortWrite,  // (a write) only the first half of the frame goes out, then the connection dies
};

class UnitIoFaults {
public:
    virtual ~UnitIoFaults() = default;
    virtual UnitIoFault before(UnitIo operation) = 0;
};
