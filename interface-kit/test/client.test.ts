// The Node client against the real Linux build of VLVPNDesk.
import assert from 'node:assert/strict';
import {chmodSync, writeFileSync} from 'node:fs';
import path from 'node:path';
import {describe, test} from 'node:test';

import {openNativeModules, PROGRAM_ENDED_CODE} from '../src/client';
import {authSessionFailure, isNativeModuleError} from '../src/errors';
import {
  deskProgram,
  need,
  openTestSession,
  programExists,
  scratchFolder,
  windowsDeskProgram,
  wineCommand,
} from './support/program';
import {rejection} from './support/rejection';
import {mismatches, parseSpecs} from './support/spec-schema';

const specs = parseSpecs();
const haveProgram = () => programExists(deskProgram);
const noProgram = 'VLVPN_DESK does not name the Linux build of VLVPNDesk';

describe('the client of the real program', () => {
  test('round-trips a profile and refuses an identifier with the program sentence', async (t) => {
    if (!need(t, haveProgram(), noProgram)) return;
    const {NativeModules} = await openTestSession(t);
    const tunnel = NativeModules.VLVPNTunnel;

    const saved = await tunnel.saveOvpnProfile('home', 'client\nremote 127.0.0.1 1194\n', 'home.ovpn', '');
    assert.equal(saved.fileName, 'home.ovpn');
    assert.ok(saved.configPath.endsWith(path.join('home', 'home.ovpn')), saved.configPath);
    assert.equal(await tunnel.saveOvpnProfileMeta('home', '{"id":"home"}\r\n'), undefined);
    await tunnel.saveOvpnAuth('home', 'alice', 'correct horse');
    assert.deepEqual(await tunnel.readOvpnAuth('home'), {username: 'alice', password: 'correct horse'});
    assert.deepEqual(await tunnel.listSavedOvpnProfiles(), [{_raw: '{"id":"home"}\n'}]);

    for (const refused of ['..', '', 'a/b', 'c:', 'NUL']) {
      assert.deepEqual(await rejection(tunnel.readOvpnAuth(refused)), {
        message: 'Invalid profile identifier',
        code: 'EUNSPECIFIED',
        userInfo: {},
      });
    }
    await tunnel.deleteOvpnProfile('home');
    assert.equal((await rejection(tunnel.readOvpnAuth('home'))).message, 'Auth file not found');
    assert.deepEqual(await tunnel.listSavedOvpnProfiles(), []);
  });

  test('answers every method with a value of its spec type', async (t) => {
    if (!need(t, haveProgram(), noProgram)) return;
    const session = await openTestSession(t);
    // Arguments for each method; rejections the program gives here on Linux
    // without a tunnel adapter, a service or OpenVPN in reach.
    const calls: Record<string, {args: unknown[]; rejects?: RegExp}> = {
      'VLVPNTunnel.pingHelper': {args: []},
      'VLVPNTunnel.installHelper': {args: []},
      'VLVPNTunnel.saveOvpnProfile': {args: ['p', 'client\n', 'p.ovpn', '']},
      'VLVPNTunnel.saveOvpnProfileMeta': {args: ['p', '{}']},
      'VLVPNTunnel.listSavedOvpnProfiles': {args: []},
      'VLVPNTunnel.deleteOvpnProfile': {args: ['gone']},
      'VLVPNTunnel.saveOvpnAuth': {args: ['p', 'u', 'pw']},
      'VLVPNTunnel.readOvpnAuth': {args: ['p']},
      'VLVPNTunnel.connectOvpn': {args: ['p', 'p.ovpn', '', ''], rejects: /adapter/i},
      'VLVPNTunnel.disconnect': {args: []},
      'VLVPNTunnel.getStatus': {args: []},
      'VLVPNTunnel.getHelperInfo': {args: []},
      'VLVPNTunnel.pingThroughTunnel': {args: ['', 0]},
      'VLVPNTunnel.measureTcpLatency': {args: ['127.0.0.1', 9]},
      'VLVPNTunnel.getTrafficStats': {args: []},
      'VLVPNTunnel.getDeviceMarketingName': {args: []},
      'VLVPNTunnel.promptVpnAuth': {args: ['a', 'b'], rejects: /^Interactive auth prompt not available on Windows$/},
      'VLVPNTunnel.setKillSwitchEnabled': {args: [false]},
      'VLVPNTunnel.prepareKillSwitchForReconnect': {args: []},
      'VLVPNTunnel.setBlockIpv6Enabled': {args: [false]},
      'VLVPNTunnel.pickApp': {args: []},
      'VLVPNTunnel.pickOvpnFile': {args: []},
      'VLVPNTunnel.terminateApps': {args: [[]]},
      'VLVPNTunnel.setMenuBarVisible': {args: [true]},
      'VLVPNTunnel.updateMenuBarMenu': {args: ['{"items":[]}']},
      'VLVPNTunnel.activateApp': {args: []},
      'VLVPNTunnel.isAppWindowVisible': {args: []},
      'VLVPNTunnel.notifyVpnConnectedOnHide': {args: []},
      'VLVPNTunnel.requestNotificationPermission': {args: []},
      'VLVPNTunnel.setLaunchAtLogin': {args: [true]},
      'VLVPNTunnel.getLaunchAtLogin': {args: []},
      'VLVPNTunnel.wasLaunchedAtStartup': {args: []},
      'VLVPNTunnel.writeUserDefaults': {args: ['theme', 'dark']},
      'VLVPNTunnel.readUserDefaults': {args: ['theme']},
      'VLVPNTunnel.writeKeychainItem': {args: ['api', 'alice', 's3cret']},
      'VLVPNTunnel.readKeychainItem': {args: ['api', 'alice']},
      'VLVPNTunnel.deleteKeychainItem': {args: ['api', 'alice']},
      'VLVPNAuthSession.beginLoopback': {args: []},
      'VLVPNAuthSession.awaitLoopbackCallback': {args: [''], rejects: /^invalid_url: Missing OAuth authorize URL$/},
      'VLVPNAuthSession.cancelLoopback': {args: []},
    };
    const specMethods = specs.flatMap((module) => module.methods.map((method) => `${module.name}.${method.name}`));
    assert.deepEqual(Object.keys(calls).sort(), specMethods.sort(), 'one call for every method of the specs');

    const problems: string[] = [];
    for (const module of specs) {
      const native = session.NativeModules[module.name as 'VLVPNTunnel'] as unknown as Record<
        string,
        (...args: unknown[]) => Promise<unknown>
      >;
      if (module.constantsType) {
        const constants = session.NativeModules.VLVPNBuildConfig.getConstants();
        problems.push(...mismatches(module.constantsType, constants, module.aliasMap, `${module.name} constants`));
      }
      for (const method of module.methods) {
        const {args, rejects} = calls[`${module.name}.${method.name}`]!;
        const where = `${module.name}.${method.name}`;
        try {
          const value = await native[method.name]!(...args);
          if (rejects) problems.push(`${where}: resolved ${JSON.stringify(value)}, expected a rejection`);
          problems.push(...mismatches(method.returns, value, module.aliasMap, where));
        } catch (error) {
          if (!isNativeModuleError(error) || error.code !== 'EUNSPECIFIED' || !rejects?.test(error.message)) {
            problems.push(`${where}: rejected ${error}`);
          }
        }
      }
    }
    assert.deepEqual(problems, []);
  });

  test('signs in through a browser that follows the redirect', async (t) => {
    if (!need(t, haveProgram(), noProgram)) return;
    const scratch = scratchFolder(t);
    // The system browser: goes to the redirect address the authorise address carries.
    const browser = path.join(scratch, 'xdg-open');
    writeFileSync(
      browser,
      `#!${process.execPath}\n` +
        `const target = new URL(new URL(process.argv[2]).searchParams.get('redirect_uri'));\n` +
        `target.search = '?code=4%2F0Ab&state=xyz';\n` +
        `fetch(target).then((reply) => reply.text()).then(() => process.exit(0), () => process.exit(1));\n`,
    );
    chmodSync(browser, 0o755);
    const {NativeModules} = await openTestSession(t, {scratch, env: {PATH: `${scratch}:${process.env.PATH}`}});
    const auth = NativeModules.VLVPNAuthSession;

    const {redirectUri, port} = await auth.beginLoopback();
    assert.equal(redirectUri, `http://127.0.0.1:${port}/oauth2redirect`);
    const authorize = `https://accounts.example/o/oauth2/auth?redirect_uri=${encodeURIComponent(redirectUri)}`;
    assert.deepEqual(await auth.awaitLoopbackCallback(authorize), {
      callbackUrl: `${redirectUri}?code=4%2F0Ab&state=xyz`,
    });
    const again = await rejection(auth.awaitLoopbackCallback(authorize));
    assert.equal(again.message, 'Call beginLoopback before awaitLoopbackCallback');
    assert.equal(authSessionFailure(new Error(again.message)), undefined, 'a set-up failure has no code');
  });

  test('rejects calls still pending when the program ends, and calls made after', async (t) => {
    if (!need(t, haveProgram(), noProgram)) return;
    const scratch = scratchFolder(t);
    // A browser that never comes back: the sign-in waits.
    writeFileSync(path.join(scratch, 'xdg-open'), '#!/bin/sh\nexit 0\n');
    chmodSync(path.join(scratch, 'xdg-open'), 0o755);
    const session = await openTestSession(t, {scratch, env: {PATH: `${scratch}:${process.env.PATH}`}});
    const auth = session.NativeModules.VLVPNAuthSession;
    await auth.beginLoopback();
    const waiting = auth.awaitLoopbackCallback('https://accounts.example/auth');
    // The await has reached the program once a later call is answered.
    assert.equal(await session.NativeModules.VLVPNTunnel.pingHelper(), 'pong');

    process.kill(session.pid!, 'SIGKILL');
    const ended = await rejection(waiting);
    assert.equal(ended.code, PROGRAM_ENDED_CODE);
    assert.match(ended.message, /^VLVPNDesk ended by SIGKILL before answering VLVPNAuthSession\.awaitLoopbackCallback/);
    assert.deepEqual(await session.exited, {code: null, signal: 'SIGKILL'});
    assert.match((await rejection(session.NativeModules.VLVPNTunnel.getStatus())).message, /before answering VLVPNTunnel\.getStatus/);
  });

  test('a program that cannot be started rejects the open', async (t) => {
    const scratch = scratchFolder(t);
    await assert.rejects(openNativeModules({program: path.join(scratch, 'VLVPNDesk')}), (error: Error) => {
      assert.match(error.message, /^VLVPNDesk could not be started \(spawn .*ENOENT\) before answering/);
      return true;
    });
  });

  test('close ends the program through end of input', async (t) => {
    if (!need(t, haveProgram(), noProgram)) return;
    const session = await openTestSession(t);
    assert.equal(session.NativeModules.VLVPNBuildConfig.getConstants().appDisplayName, 'Velmora VPN');
    assert.deepEqual(await session.close(), {code: 0, signal: null});
  });

  test('runs the Windows build under Wine when the program is a .exe', async (t) => {
    if (!need(t, programExists(windowsDeskProgram), 'VLVPN_DESK_EXE does not name the Windows build')) return;
    const session = await openTestSession(t, {program: windowsDeskProgram!, wine: wineCommand});
    assert.equal(session.NativeModules.VLVPNBuildConfig.getConstants().appDisplayName, 'Velmora VPN');
    assert.equal((await session.NativeModules.VLVPNTunnel.getHelperInfo()).machService, 'openvpn.exe');
    assert.equal((await rejection(session.NativeModules.VLVPNTunnel.readOvpnAuth('..'))).message, 'Invalid profile identifier');
    assert.equal((await session.close()).code, 0);
  });
});
