// Refresh over Debian's rclone mounting a library read-only with a full VFS
// cache, as AgentLibrary reaches Linux, beside refresh of the same files read
// directly, alternating in one run.
import { spawn, spawnSync } from "node:child_process";
import { mkdirSync, statSync } from "node:fs";
import path from "node:path";

const sleep = (ms) => Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, ms);

// { direct, mounted } warm refresh medians in ms, or null without rclone.
// refresh(root) returns one warm refresh time of root.
export function rcloneRefresh(root, work, runs, refresh) {
  if (spawnSync("rclone", ["version"], { stdio: "ignore" }).status !== 0) return null;
  const mount = path.join(work, "rclone-mount");
  mkdirSync(mount, { recursive: true });
  const rclone = spawn("rclone", ["mount", root, mount, "--config", "/dev/null", "--read-only",
    "--vfs-cache-mode", "full", "--dir-cache-time", "1h", "--cache-dir", path.join(work, "rclone-cache")],
    { stdio: "ignore" });
  try {
    for (let i = 0; i < 200 && statSync(mount).dev === statSync(work).dev; ++i) sleep(50);
    const direct = [], mounted = [];
    for (let i = 0; i < runs; ++i) {
      direct.push(refresh(root));
      mounted.push(refresh(mount));
    }
    const median = (v) => v.sort((a, b) => a - b)[v.length >> 1];
    return { direct: median(direct), mounted: median(mounted) };
  } finally {
    spawnSync("fusermount3", ["-u", "-z", mount]);
    rclone.kill();
  }
}
