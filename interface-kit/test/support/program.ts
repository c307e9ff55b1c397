// The real programs under test, and what a test that cannot have them does:
// it skips with the reason, except in CI, where such a skip is a failure.
import assert from 'node:assert/strict';
import {spawn, spawnSync} from 'node:child_process';
import {once} from 'node:events';
import {closeSync, existsSync, mkdtempSync, openSync, readFileSync, rmSync} from 'node:fs';
import {tmpdir} from 'node:os';
import path from 'node:path';
import type {TestContext} from 'node:test';

import {openNativeModules, type NativeModulesSession, type OpenNativeModulesOptions} from '../../src/client';
import type {HostDescription} from './spec-schema';

// The Linux build's VLVPNDesk (VLVPN_DESK), and its service beside it.
export const deskProgram = process.env.VLVPN_DESK;
export const killSwitchProgram =
  process.env.VLVPN_KILLSWITCH ?? (deskProgram ? path.join(path.dirname(deskProgram), 'VLVPNKillSwitch') : undefined);
// The Windows build's VLVPNDesk.exe and the command that runs it under Wine.
export const windowsDeskProgram = process.env.VLVPN_DESK_EXE;
export const wineCommand = process.env.VLVPN_WINE ?? 'wine';

// False (and the test skipped, or failed in CI) when `ready` does not hold.
export function need(t: TestContext, ready: unknown, reason: string): boolean {
  if (ready) return true;
  if (process.env.CI === 'true') throw new Error(`cannot run in CI: ${reason}`);
  t.skip(reason);
  return false;
}

export function isRoot(): boolean {
  return process.getuid?.() === 0;
}

export function canMakeNetworkNamespaces(): boolean {
  if (!isRoot()) return false;
  const probe = `vlvpn-kit-probe-${process.pid}`;
  if (spawnSync('ip', ['netns', 'add', probe]).status !== 0) return false;
  spawnSync('ip', ['netns', 'delete', probe]);
  return true;
}

// The program's `--describe`. Its output goes through a file: under Wine,
// helper processes may keep a pipe open after the program ended.
export async function describeHost(program: string, wine?: string): Promise<HostDescription> {
  const [command, args] = wine ? [wine, [program, '--describe']] : [program, ['--describe']];
  const folder = mkdtempSync(path.join(tmpdir(), 'vlvpn-describe-'));
  try {
    const file = path.join(folder, 'describe.json');
    const output = openSync(file, 'w');
    const child = spawn(command, args, {stdio: ['ignore', output, 'inherit']});
    closeSync(output);
    const [code] = (await once(child, 'exit')) as [number | null];
    assert.equal(code, 0, `${program} --describe`);
    return JSON.parse(readFileSync(file, 'utf8')) as HostDescription;
  } finally {
    rmSync(folder, {recursive: true, force: true});
  }
}

// A scratch folder removed when the test ends.
export function scratchFolder(t: TestContext): string {
  const folder = mkdtempSync(path.join(tmpdir(), 'vlvpn-kit-'));
  t.after(() => rmSync(folder, {recursive: true, force: true}));
  return folder;
}

let instances = 0;

// The program with a data folder of the test's own and its own single
// instance, closed when the test ends.
export async function openTestSession(
  t: TestContext,
  options: Partial<OpenNativeModulesOptions> & {scratch?: string} = {},
): Promise<NativeModulesSession> {
  const scratch = options.scratch ?? scratchFolder(t);
  const session = await openNativeModules({
    program: deskProgram!,
    ...options,
    env: {
      XDG_DATA_HOME: path.join(scratch, 'data'),
      XDG_CONFIG_HOME: path.join(scratch, 'config'),
      XDG_RUNTIME_DIR: undefined,
      VLVPN_KILLSWITCH_SOCKET: path.join(scratch, 'no-service.sock'),
      VLVPN_DESK_INSTANCE: `kit-${process.pid}-${++instances}`,
      // No desktop: dialogs cancel, secrets go to files.
      DISPLAY: undefined,
      WAYLAND_DISPLAY: undefined,
      DBUS_SESSION_BUS_ADDRESS: undefined,
      ...options.env,
    },
  });
  t.after(async () => {
    if (session.running) await session.close();
  });
  return session;
}

export function programExists(program: string | undefined): program is string {
  return program !== undefined && existsSync(program);
}
