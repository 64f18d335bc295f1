#!/usr/bin/env python3
"""Writes the seed inputs of the client library's fuzz targets (sim_stream,
app_stream, frame_header, simulator_emulator) into fuzz/corpus/<target>/,
built from the SIM and APP wire formats: 32-byte frame headers, 12-byte
message headers, big-endian words and floats, 32-byte names.

Run from anywhere: python3 fuzz/csclient_seeds.py
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def u32(*words):
    return b"".join(struct.pack(">I", w & 0xFFFFFFFF) for w in words)


def f32(value):
    return struct.pack(">f", value)


def name(text, width=32):
    raw = text.encode()[: width - 1]
    return raw + b"\0" * (width - len(raw))


def header(protocol, sub, code):
    return bytes([protocol, sub, 0x7F, 0xFF, 0, 0, 0, 0, 0x00, 0x7F, code >> 8, code & 0xFF])


def frame(body, kind=0, length=None):
    total = 32 + len(body) if length is None else length
    mark, trailer = (2, 0xFE) if kind == 3 else (0, 0xFF)
    if kind == 0 and len(body) >= 8:
        body = body[:4] + u32(len(body)) + body[8:]
    return u32(total, 32, kind, mark) + b"\xff" * 15 + bytes([trailer]) + body


# ---- SIM (protocol 4, subprotocol 2) ----
SIM_WORD = 1 << 16


def sim(code, payload):
    return header(4, 2, code) + payload


def sim_subscribe_response(entries):
    body = u32(SIM_WORD, len(entries))
    for server_id, text, is_int, value in entries:
        body += u32(server_id, 0, 0, 1 if is_int else 0)
        body += u32(value) if is_int else f32(value)
        body += name(text)
    return sim(0x0101, body)


def sim_publish_response(entries):
    body = u32(SIM_WORD, len(entries))
    for server_id, text in entries:
        body += u32(server_id, 0, 0, 0) + name(text)
    return sim(0x0102, body)


def sim_update(entries, mode=0):
    body = u32(SIM_WORD, mode, len(entries))
    for server_id, is_int, value in entries:
        body += u32(server_id, 1 if is_int else 0) + (u32(value) if is_int else f32(value))
    return sim(0x0003, body)


def sim_version(simulator_id=1, text="RHM-2", protocol=7, status=1):
    return sim(0x0106, u32(simulator_id << 16) + name(text, 128) + u32(protocol, status))


HARDWARE = [(11, "HW_PATSPEED", True, 1), (12, "HW_PATMON_ENABLED", True, 0),
            (13, "HW_PATMON_CALIB_ACTION", True, 3), (14, "HW_PATMON_CALIB_ARG1", False, 60.0)]


def sim_seeds():
    session = (frame(sim_subscribe_response(HARDWARE))
               + frame(sim_publish_response([(21, "OUT_I"), (22, "OUT_F"), (23, "NOPE")]))
               + frame(sim_update([(11, True, 0), (14, False, 75.5), (0, True, 9), (99, False, 1.0)]))
               + frame(sim_version()))
    return {
        "session_quiet": b"\x00" + session,
        "session_loud_acting": b"\x03" + session + frame(sim_version(simulator_id=40000)),
        "new_simulator_id": b"\x02" + frame(sim_version(simulator_id=7)) + frame(sim_subscribe_response(HARDWARE)),
        "writes_fail": bytes([0x23]) + session,
        "counts_beyond_body": b"\x00" + frame(sim(0x0101, u32(SIM_WORD, 0xFFFFFFFF) + u32(11)))
                              + frame(sim(0x0003, u32(SIM_WORD, 0, 1000))),
        "other_kinds": b"\x01" + frame(sim_update([(11, True, 1)]), kind=4) + frame(b"\x04", kind=3)
                       + frame(b"\x04\x02"),
        "bad_length": b"\x01" + frame(sim_version()) + u32(32, 32, 0, 0) + b"\xff" * 16,
        "cut_short": b"\x00" + frame(sim_version())[:100],
    }


# ---- APP (protocol 1) ----
def app(sub, code, payload):
    return header(1, sub, code) + payload


GRANT = u32(1, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF)


def patient_list(patients):
    body = u32(len(patients))
    for patient_id, sce_id, state, speed in patients:
        body += u32(patient_id, sce_id, state) + f32(speed)
    return app(1, 0x0002, body)


def app_subscribe_response(patient, entries):
    body = u32(patient, len(entries))
    for server_id, text, value in entries:
        body += u32(server_id, 0, 0) + f32(value) + name(text)
    return app(2, 0x0106, body)


def app_publish_response(patient, entries):
    body = u32(patient, len(entries))
    for server_id, text in entries:
        body += u32(server_id, 0, 0) + name(text)
    return app(2, 0x0107, body)


def app_update(patient, mode, entries):
    body = u32(patient, mode, len(entries))
    for server_id, value in entries:
        body += u32(server_id) + f32(value)
    return app(2, 0x0008, body)


def event(code, *words):
    return app(3, code, b"".join(w if isinstance(w, bytes) else u32(w) for w in words))


def app_version(text="EMU-9", status=1):
    return app(2, 0x0151, name(text, 128) + u32(0, status))


def app_seeds():
    handshake = (frame(GRANT, kind=3)
                 + frame(patient_list([(7, 3, 5, 1.0)]))
                 + frame(app_subscribe_response(7, [(101, "HRPM", 72.9), (102, "SAO2", 97.5), (103, "ARTLINE", 80)]))
                 + frame(app_publish_response(7, [(201, "OUT"), (202, "OUT_I"), (203, "NOPE")]))
                 + frame(app_update(7, 0, [(101, 73.0), (103, 81.5), (999, 1.0)]))
                 + frame(app_update(7, 2, [(102, -7.9)]))
                 + frame(app_version()))
    events = (frame(event(0x0111, 7, 3, 1)) + frame(event(0x0112, 7, 1)) + frame(event(0x0113, 7, 1))
              + frame(event(0x0117, 7, f32(4.0), 1)) + frame(event(0x0117, 7, f32(2.0), 1))
              + frame(event(0x0115, 7, 0)) + frame(event(0x0114, 7, 1)) + frame(event(0x0114, 7, 0)))
    responses = (frame(app(2, 0x0102, u32(0, 3, 12)))
                 + frame(app(2, 0x0102, u32(0, 3, 12, 0)))
                 + frame(app(2, 0x0103, u32(12, 0)))
                 + frame(app(2, 0x0150, u32(3, 9, 12, 1)))
                 + frame(app(2, 0x0150, u32(3, 9, 12, 2))))
    return {
        "handshake_quiet": b"\x00" + handshake,
        "handshake_loud_acting": b"\x03" + handshake + events + responses,
        "events_acting": b"\x02" + frame(GRANT, kind=3) + frame(patient_list([])) + responses + events,
        "two_patients_odd_speed": b"\x01" + frame(GRANT, kind=3) + frame(patient_list([(21, 4, 5, 2.0), (22, 5, 5, 1.0)])),
        "refresh_fails": bytes([0x32]) + frame(GRANT, kind=3) + frame(patient_list([(7, 3, 5, 8.0)])),
        "kinds_by_subprotocol": b"\x02" + frame(event(0x0115, 7, 1), kind=4) + frame(event(0x0112, 9, 1), kind=3)
                                + frame(GRANT, kind=0) + frame(GRANT, kind=3),
        "counts_beyond_body": b"\x00" + frame(GRANT, kind=3) + frame(patient_list([(7, 3, 5, 1.0)]))
                              + frame(app(2, 0x0106, u32(7, 0xFFFFFFFF) + u32(101)))
                              + frame(app(2, 0x0008, u32(7, 0, 100000))),
        "cut_short": b"\x00" + frame(GRANT, kind=3) + frame(app_version())[:60],
    }


# ---- frame headers alone ----
def frame_header_seeds():
    return {
        "data_frame": frame(sim_version()),
        "flow_control": frame(GRANT, kind=3),
        "length_32": u32(32, 32, 0, 0) + b"\xff" * 16,
        "length_33": frame(b"\x77"),
        "kind_1": frame(b"\x01\x02\x03", kind=1),
        "short": u32(48, 32)[:7],
        "huge_length": u32(0xFFFFFFFF, 32, 0, 0) + b"\xff" * 16 + b"\x00" * 8,
        "two_frames": frame(b"\x04\x02" + b"\x00" * 10) + frame(GRANT, kind=3),
    }


# ---- what the emulated servers read from a client ----
def emulator_seeds():
    sim_requests = (frame(sim(0x0001, u32(SIM_WORD, 2) + u32(12000, 12000, 1) + name("HW_PATSPEED")
                              + u32(0, 0, 0) + name("HRPM")))
                    + frame(sim(0x0002, u32(SIM_WORD, 1) + u32(1200, 1) + name("OUT_I")))
                    + frame(sim(0x0003, u32(SIM_WORD, 0, 2) + u32(101, 1, 5) + u32(102, 0) + f32(2.5)))
                    + frame(sim(0x0004, u32(SIM_WORD, 1, 101)))
                    + frame(sim(0x0005, u32(SIM_WORD, 1, 102)))
                    + frame(sim(0x0006, u32(SIM_WORD, 0))))
    app_requests = (frame(u32(0, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 3), kind=3)
                    + frame(app(1, 0x0020, u32(0, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF)))
                    + frame(app(1, 0x0001, b""))
                    + frame(app(2, 0x0006, u32(1, 1) + u32(12000, 0) + name("HRPM")))
                    + frame(app(2, 0x0007, u32(1, 1) + u32(1200) + name("OUT")))
                    + frame(app(2, 0x0008, u32(1, 2, 1, 101) + f32(3.0)))
                    + frame(app(2, 0x0012, u32(1, 0, 1, 102) + f32(1.0) + u32(9)))
                    + frame(app(2, 0x0014, u32(1, 1, 101)))
                    + frame(app(2, 0x0015, u32(1, 1, 102)))
                    + frame(app(2, 0x0051, u32(0)))
                    + frame(app(2, 0x0004, u32(1) + f32(8.0)))
                    + frame(app(2, 0x0005, u32(1, 1)))
                    + frame(app(2, 0x000E, u32(1)))
                    + frame(app(2, 0x0002, u32(0, 4)))
                    + frame(app(2, 0x0003, u32(2, 1)))
                    + frame(app(2, 0x0050, u32(5, 6)))
                    + frame(header(4, 4, 0x0008) + u32(1, 3, 60))
                    + frame(u32(3, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF), kind=3))
    return {
        "sim_requests": b"\x00" + sim_requests,
        "app_requests": b"\x01" + app_requests,
        "sim_bad_header": b"\x00" + u32(8, 32, 0, 0) + b"\xff" * 16,
        "app_odd_kinds": b"\x01" + frame(b"\x01\x02", kind=5) + frame(b"\x00", kind=3) + frame(b"\x01" * 11),
    }


def main():
    targets = {"sim_stream": sim_seeds(), "app_stream": app_seeds(), "frame_header": frame_header_seeds(),
               "simulator_emulator": emulator_seeds()}
    for target, seeds in targets.items():
        folder = os.path.join(HERE, "corpus", target)
        os.makedirs(folder, exist_ok=True)
        for seed_name, data in seeds.items():
            with open(os.path.join(folder, seed_name), "wb") as out:
                out.write(data)
        print(f"{target}: {len(seeds)} seeds")


if __name__ == "__main__":
    main()
