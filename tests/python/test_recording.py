"""Recording and replay: .bin recordings replay through the driver bit for bit, MCAP files are read
back by two independent readers, and a killed recorder or a full disk leaves a readable file."""

import json
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import ZentroxDepthCamera as zdc
import zentrox_depth as zd
from zentrox_depth import recordings, replay as replay_module
from zentrox_depth import Recorder, RecordingError

RATE = 25  # frames/s of the seeded kit: frame n is due at n * 40 ms, which identifies it
HQVGA = {"frame_rate": RATE, "noise": 3, "seed": 11}
VGA = {"module": "vga", "width": 320, "height": 240, "frame_rate": 20, "noise": 2, "seed": 5}


def stream(config, kind, count, controls=(), attempts=5):
    """(frame index, timestamp, planes) of `count` frames of the kit configuration `config`. Stamps
    tell the index only while the kit keeps its schedule, which it moves on for a reader far behind
    (a busy machine): a stream whose stamps left the schedule is taken again."""
    cam = zdc.ZentroxCamera()
    assert cam.openWithFile(str(config), 0) == zdc.TOFErrorCode.ZentroxSuccess
    for name, value in controls:
        cam.setControl(getattr(zdc.TOFControl, name), value)
    assert cam.start(kind) == zdc.TOFErrorCode.ZentroxSuccess
    period = 1000.0 / json.loads(Path(config).read_text())["frame_rate"]
    frames = []
    try:
        while len(frames) < count:
            f = cam.requestFrame(2000)
            assert f is not None
            stamp = f.getFrameFormat().timestamp
            planes = (f.getRawData(),) if kind == zdc.TOFOutput.RAW else \
                (f.getDepthData(), f.getAmplitudeData(), f.getConfidenceData())
            cam.releaseFrame(f)
            first = frames[0][1] if frames else stamp
            frames.append((round((stamp - first) / period), stamp, planes))
    finally:
        cam.stop()
        cam.close()
    if attempts > 1 and any(abs(stamp - frames[0][1] - i * period) > 2 for i, stamp, _ in frames):
        return stream(config, kind, count, controls, attempts - 1)
    return frames, cam


def by_index(config, kind, indices, controls=()):
    """{frame index: planes} of the frames `indices` of a seeded kit, whose frame n is the same in
    every stream: the stream is started again for those a busy machine dropped."""
    found = {}
    for _ in range(5):
        found.update((i, p) for i, _, p in stream(config, kind, max(indices) + 1, controls)[0] if i not in found)
        if found.keys() >= set(indices):
            break
    return found


def kit(tmp_path, settings):
    path = tmp_path / "kit.json"
    path.write_text(json.dumps(settings))
    return path


def same_bits(a, b):
    return a.shape == b.shape and np.array_equal(a.view(np.uint32), b.view(np.uint32))


def recorded_bin(tmp_path, settings, controls=()):
    """12 live depth frames of a seeded kit by frame index, and the raw frames of the same kit recorded
    to rec.bin (frame index, timestamp, planes)."""
    config = kit(tmp_path, settings)
    raws, cam = stream(config, zdc.TOFOutput.RAW, 12, controls)
    live = by_index(config, zdc.TOFOutput.DEPTH, [i for i, _, _ in raws], controls)
    with Recorder(tmp_path / "rec.bin", device_type=cam.getCameraInfo().device_type.name,
                  controls=dict(controls)) as rec:
        for _, stamp, (raw,) in raws:
            assert rec.write(stamp, raw=raw, block=True)
    return live, raws


def assert_replayed_exactly(replayed, live, raws):
    """Every recorded frame once, each bit for bit the live frame it was recorded from."""
    assert sorted(f.index for f in replayed) == list(range(len(raws)))
    for frame in replayed:
        for ours, theirs in zip((frame.depth, frame.amplitude, frame.confidence), live[raws[frame.index][0]]):
            assert same_bits(ours, theirs), f"frame {frame.index}"


@pytest.mark.parametrize("settings, controls", [
    (HQVGA, ()), (HQVGA, (("RANGE", 2000),)), (VGA, (("FMT_WIDTH", 320), ("FMT_HEIGHT", 240)))],
    ids=["hqvga-4000", "hqvga-2000", "vga"])
def test_bin_recordings_replay_bit_for_bit(tmp_path, monkeypatch, settings, controls):
    monkeypatch.chdir(tmp_path)
    live, raws = recorded_bin(tmp_path, settings, controls)
    recording = recordings.BinRecording(tmp_path / "rec.bin")
    assert recording.frame_count == 12 and recording.finished
    # The raw frames read back are those the driver handed out.
    for k, (_, _, (raw,)) in enumerate(raws):
        assert np.array_equal(recording.raw(k), raw)
    assert_replayed_exactly(list(recordings.replay(tmp_path / "rec.bin")), live, raws)
    if controls == (("RANGE", 2000),):
        # The controls beside the file are what makes the replay right: without them it is not.
        os.remove(str(tmp_path / "rec.bin") + ".json")
        other = next(iter(recordings.replay(tmp_path / "rec.bin")))
        assert not same_bits(other.depth, live[raws[other.index][0]][0])


def test_a_replay_read_far_behind_still_gives_every_frame_once(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    live, raws = recorded_bin(tmp_path, HQVGA)
    # Without the taking thread the reader paces the driver: stalled for over a pass of the kit's loop,
    # it finds the driver has dropped frames and the kit's schedule moved on.
    monkeypatch.setattr(replay_module, "prefetched", iter)
    replayed = []
    for frame in recordings.replay(tmp_path / "rec.bin"):
        time.sleep(0.6 if not replayed else 0)
        replayed.append(frame)
    assert_replayed_exactly(replayed, live, raws)


@pytest.mark.parametrize("frame_stamps, stamps, expected", [
    # Frames of four images ending at 5004 and 5044; a pass is 74 ms (first image 5000, loop gap 30).
    ([5004, 5044], [5004, 5044, 5078, 5118, 5152], [(0, 0), (0, 1), (1, 0), (1, 1), (2, 0)]),
    ([5004, 5044], [5044, 5192, 5266], [(0, 1), (2, 1), (3, 1)]),  # frames dropped, passes passed over
    ([5004, 5044], [5005, 5000], [(0, None), (0, None)]),  # stamps of no frame
    ([5004, 5004, 5044], [5004, 5004, 5044, 5078, 5078], [(0, 0), (0, 1), (0, 2), (1, 0), (1, 1)]),
])
def test_replayed_frames_are_told_by_their_stamps(frame_stamps, stamps, expected):
    locator = replay_module.FrameLocator(frame_stamps, 5000, 74)
    assert [locator.locate(s) for s in stamps] == expected


def test_cli_records_plays_and_exports_a_bin_recording(tmp_path):
    config = kit(tmp_path, HQVGA)
    tool = [sys.executable, "-m", "zentrox_depth"]
    run = lambda *args: subprocess.run(tool + list(args), capture_output=True, text=True, cwd=tmp_path, timeout=120)
    recorded = run("record", "--config", str(config), "--range", "2000", "-n", "10", "rec.bin")
    assert recorded.returncode == 0, recorded.stderr
    assert "10 frames recorded to rec.bin" in recorded.stdout and "0 dropped" in recorded.stdout
    played = run("play", "rec.bin")
    assert played.returncode == 0 and "10 frames of rec.bin" in played.stdout, played.stdout + played.stderr
    # One frame tells no rate: the first line shows none rather than 0.0 fps.
    assert played.stdout.startswith("frame 1/10  depth") and " fps" in played.stdout.splitlines()[-1]
    exported = run("export", "rec.bin", "--npy", "arrays", "--png-dir", "pictures")
    assert exported.returncode == 0 and "not delivered" not in exported.stdout, exported.stderr
    rows = (tmp_path / "arrays" / "frames.csv").read_text().splitlines()[1:]
    stamps = [int(row.split(",")[2]) for row in rows]
    assert len(rows) == 10 and len(list((tmp_path / "pictures").glob("frame_*.png"))) == 10
    indices = [round((stamp - stamps[0]) / (1000 / RATE)) for stamp in stamps]
    live = by_index(config, zdc.TOFOutput.DEPTH, indices, (("RANGE", 2000),))
    for row, index in zip(rows, indices):
        depth = np.load(tmp_path / "arrays" / f"depth_{row.split(',')[0]}.npy")
        assert same_bits(depth, live[index][0])


def rosbags_messages(path):
    from rosbags.rosbag2.storage_mcap import McapReader
    from rosbags.typesys import Stores, get_typestore, get_types_from_msg
    store = get_typestore(Stores.ROS2_HUMBLE)
    reader = McapReader(Path(path))
    reader.open()
    try:
        for connection in reader.connections:
            if connection.msgtype.startswith("zentrox"):
                text = connection.msgdef.data.split("=" * 80)[0]
                store.register(get_types_from_msg(text, connection.msgtype))
        return [(c.topic, t, store.deserialize_cdr(data, c.msgtype)) for c, t, data in reader.messages(reader.connections)]
    finally:
        reader.close()


@pytest.mark.parametrize("encoding", ["32FC1", "16UC1"])
def test_mcap_is_read_back_by_rosbags_and_mcap(tmp_path, monkeypatch, encoding):
    monkeypatch.chdir(tmp_path)
    config = kit(tmp_path, HQVGA)
    depths = stream(config, zdc.TOFOutput.DEPTH, 8)[0]
    raws = {i: raw for i, (raw,) in by_index(config, zdc.TOFOutput.RAW, [i for i, _, _ in depths]).items()}
    intrinsics = zd.Intrinsics(240, 180, 170.0, 171.0, 119.0, 90.0, (0.01, -0.02, 0.001, 0.0, 0.0))
    with Recorder(tmp_path / "rec.mcap", intrinsics=intrinsics, depth_encoding=encoding, point_cloud=True,
                  frame_id="cam", controls={"RANGE": 4000}) as rec:
        for index, stamp, (depth, amplitude, confidence) in depths:
            rec.write(stamp, depth=depth, amplitude=amplitude, confidence=confidence, raw=raws[index], block=True)
    messages = rosbags_messages(tmp_path / "rec.mcap")
    by_topic = {}
    for topic, _, message in messages:
        by_topic.setdefault(topic, []).append(message)
    assert {t: len(m) for t, m in by_topic.items()} == {f"/zentrox/{t}": 8 for t in
                                                        ("depth", "amplitude", "confidence", "camera_info", "points", "raw")}
    for k, (index, stamp, (depth, amplitude, confidence)) in enumerate(depths):
        z = zd.depth_to_z(depth, intrinsics)
        image = by_topic["/zentrox/depth"][k]
        assert (image.encoding, image.header.frame_id, image.step) == (encoding, "cam", 240 * (4 if encoding == "32FC1" else 2))
        stamp_ns = image.header.stamp.sec * 10**9 + image.header.stamp.nanosec
        assert stamp_ns == stamp * 10**6 + rec.clock_offset_ns
        if encoding == "32FC1":
            metres = np.frombuffer(image.data.tobytes(), "<f4").reshape(180, 240)
            assert np.array_equal(metres, np.where(z == 0, np.nan, z / np.float32(1000)), equal_nan=True)
        else:
            assert np.array_equal(np.frombuffer(image.data.tobytes(), "<u2").reshape(180, 240), np.rint(z))
        amp = by_topic["/zentrox/amplitude"][k]
        assert same_bits(np.frombuffer(amp.data.tobytes(), "<f4").reshape(180, 240), amplitude)
        info = by_topic["/zentrox/camera_info"][k]
        assert (info.width, info.height, info.distortion_model) == (240, 180, "plumb_bob")
        assert np.array_equal(info.k.reshape(3, 3), intrinsics.camera_matrix) and list(info.d) == list(intrinsics.distortion)
        cloud = by_topic["/zentrox/points"][k]
        points = np.frombuffer(cloud.data.tobytes(), "<f4").reshape(180, 240, 4)
        assert np.array_equal(points[..., :3], zd.point_cloud(depth, intrinsics), equal_nan=True)
        raw = by_topic["/zentrox/raw"][k]
        assert (raw.sequence, raw.sensor_timestamp, raw.device_type, raw.range) == (k, stamp, "HQVGA", 4000)
        assert np.array_equal(np.frombuffer(raw.data.tobytes(), "<i2").reshape(raw.height, raw.width), raws[index])
    # The mcap library lists the schemas and channels, with the frame sequence on every message.
    from mcap.reader import make_reader
    with open(tmp_path / "rec.mcap", "rb") as f:
        reader = make_reader(f)
        summary = reader.get_summary()
        schemas = {s.name: s.encoding for s in summary.schemas.values()}
        assert schemas == {"sensor_msgs/msg/Image": "ros2msg", "sensor_msgs/msg/CameraInfo": "ros2msg",
                           "sensor_msgs/msg/PointCloud2": "ros2msg", "zentrox_depth_msgs/msg/RawFrame": "ros2msg"}
        assert {c.message_encoding for c in summary.channels.values()} == {"cdr"}
        sequences = [m.sequence for _, _, m in reader.iter_messages(topics=["/zentrox/depth"])]
        assert sequences == list(range(8))
    # Its raw frames are processed again through the driver to the live depth, bit for bit.
    recorded = stream(config, zdc.TOFOutput.RAW, 8)[0]
    with Recorder(tmp_path / "raw.mcap", controls={"RANGE": 4000}) as rec:
        for index, stamp, (raw,) in recorded:
            rec.write(stamp, raw=raw, block=True)
    live = by_index(config, zdc.TOFOutput.DEPTH, [i for i, _, _ in recorded])
    again = list(recordings.frames(tmp_path / "raw.mcap"))
    assert sorted(f.index for f in again) == list(range(8))
    assert all(same_bits(f.depth, live[recorded[f.index][0]][0]) for f in again)


def test_dropped_frames_are_counted_and_leave_gaps_in_the_sequence(tmp_path):
    depth = np.full((180, 240), 1234.0, np.float32)
    with Recorder(tmp_path / "drops.mcap", queue_size=1) as rec:
        accepted = [rec.write(1000 + k, depth=depth + k, amplitude=depth) for k in range(40)]
    assert rec.frames_dropped == accepted.count(False) > 0
    assert rec.frames_written == accepted.count(True)
    frames = list(recordings.McapRecording(tmp_path / "drops.mcap").frames())
    assert [f.sequence for f in frames] == [k for k, ok in enumerate(accepted) if ok]
    for f in frames:
        assert np.allclose(f.depth[90, 120], 1234.0 + f.sequence, atol=0.01)


@pytest.mark.parametrize("extension", [".bin", ".mcap"])
@pytest.mark.parametrize("sig", [signal.SIGKILL, signal.SIGINT], ids=["killed", "ctrl-c"])
def test_a_stopped_recorder_leaves_its_complete_frames(tmp_path, extension, sig):
    config = kit(tmp_path, {"frame_rate": 100, "noise": 0})
    reference = stream(config, zdc.TOFOutput.DEPTH, 1)[0][0][2]
    target = tmp_path / ("stopped" + extension)
    # Python's Ctrl-C handler installed in the child itself: a test run started in the background
    # has SIGINT ignored, and children inherit that.
    code = ("import signal, sys; signal.signal(signal.SIGINT, signal.default_int_handler); "
            f"from zentrox_depth.cli import main; sys.exit(main(['record', '--config', {str(config)!r}, {str(target)!r}]))")
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             cwd=tmp_path, text=True)
    try:
        deadline = time.monotonic() + 30
        while (not target.exists() or target.stat().st_size < 3_000_000) and time.monotonic() < deadline:
            time.sleep(0.02)
    finally:
        child.send_signal(sig)
        output = child.communicate(timeout=30)[0]
    finished = sig == signal.SIGINT
    if finished:
        assert child.returncode == 0 and "(interrupted)" in output
    if extension == ".bin":
        recording = recordings.BinRecording(target)
        assert recording.finished == finished and recording.frame_count >= 8
        if finished:
            assert recordings.read_description(target)["frames"] == recording.frame_count
        replayed = list(recordings.replay(target))
        assert sorted(f.index for f in replayed) == list(range(recording.frame_count))
        assert all(same_bits(f.depth, reference[0]) for f in replayed)
    else:
        recording = recordings.McapRecording(target)
        frames = list(recording.frames())
        assert recording.finished == finished and len(frames) >= 3
        if finished:
            assert sum(1 for t, _, _ in rosbags_messages(target) if t == "/zentrox/depth") == len(frames)
        assert [f.sequence for f in frames] == list(range(len(frames)))
        assert all(same_bits(f.amplitude, reference[1]) and np.allclose(f.depth, reference[0], atol=0.01)
                   for f in frames)


@pytest.fixture(params=["tmpfs", "ext4"])
def small_disk(tmp_path, request):
    """A file system of a few MB, mounted as root: tmpfs (written through the page cache) or ext4 in
    a loop file (written directly); skipped where nothing can be mounted."""
    mount = tmp_path / "small"
    mount.mkdir()
    if request.param == "tmpfs":
        commands = [["mount", "-t", "tmpfs", "-o", "size=3m", "tmpfs", str(mount)]]
    else:
        image = tmp_path / "disk.img"
        with open(image, "wb") as f:
            f.truncate(6 << 20)
        commands = [["mkfs.ext4", "-q", "-F", str(image)], ["mount", "-o", "loop", str(image), str(mount)]]
    if os.geteuid() != 0 or any(shutil.which(c[0]) is None or subprocess.run(c, capture_output=True).returncode
                                for c in commands):
        pytest.skip(f"a small {request.param} file system needs root and {commands[-1][0]}")
    yield mount
    subprocess.run(["umount", str(mount)])


@pytest.mark.parametrize("extension", [".bin", ".mcap"])
def test_a_full_disk_gives_a_clear_error_and_a_readable_file(small_disk, tmp_path, extension):
    raw = (np.arange(720 * 240, dtype=np.int16).reshape(720, 240) % 2048 - 1024) * 16
    depth = np.full((180, 240), 1500.0, np.float32)
    target = small_disk / ("full" + extension)
    rec = Recorder(target, controls={"RANGE": 4000})
    with pytest.raises(RecordingError) as failure:
        for k in range(200):
            rec.write(33 * k, raw=raw, depth=None if extension == ".bin" else depth + k, block=True)
        rec.close()
    with pytest.raises(RecordingError):
        rec.close()
    written = rec.frames_written
    assert "No space left on device" in str(failure.value) and f"first {written} frames" in str(failure.value)
    assert 0 < written < 200
    if extension == ".bin":
        recording = recordings.BinRecording(target)
        assert recording.finished and recording.frame_count == written
        assert np.array_equal(recording.raw(written - 1), raw)
    else:
        messages = rosbags_messages(target)
        assert [m.sequence for t, _, m in messages if t == "/zentrox/raw"] == list(range(written))
        frames = list(recordings.McapRecording(target).frames())
        assert recordings.McapRecording(target).finished and len(frames) == written
        assert np.allclose(frames[-1].depth, 1500.0 + written - 1, atol=0.01)
