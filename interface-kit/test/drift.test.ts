// The specs and the real program must describe the same modules: the
// interface is written against the specs, the program answers from its own
// tables.
import assert from 'node:assert/strict';
import {execFileSync} from 'node:child_process';
import {readFileSync, readdirSync} from 'node:fs';
import path from 'node:path';
import {describe, test} from 'node:test';

import {deskProgram, describeHost, need, programExists, scratchFolder, windowsDeskProgram, wineCommand} from './support/program';
import {differences, eventMapNames, hostArgType, packageRoot, parseSpecs, type HostDescription} from './support/spec-schema';

const specs = parseSpecs();
const events = eventMapNames();

describe('the specs and the program', () => {
  test('describe the same modules, methods, argument types, constants and events', async (t) => {
    if (!need(t, programExists(deskProgram), 'VLVPN_DESK does not name the Linux build of VLVPNDesk')) return;
    const host = await describeHost(deskProgram!);
    assert.deepEqual(differences(specs, events, host), []);
    // Not vacuous: everything the program registers was compared.
    assert.deepEqual(
      host.modules.map((module) => module.name),
      ['VLVPNTunnel', 'VLVPNBuildConfig', 'VLVPNAuthSession'],
    );
    assert.equal(specs.find((module) => module.name === 'VLVPNTunnel')!.methods.length, 37);
  });

  test('the Windows build describes itself the same way', async (t) => {
    if (!need(t, programExists(deskProgram), 'VLVPN_DESK does not name the Linux build of VLVPNDesk')) return;
    if (!need(t, programExists(windowsDeskProgram), 'VLVPN_DESK_EXE does not name the Windows build')) return;
    assert.deepEqual(await describeHost(windowsDeskProgram!, wineCommand), await describeHost(deskProgram!));
  });
});

describe('the drift check', () => {
  // A description that agrees with the specs, to change one thing at a time.
  const agreeing = (): HostDescription => ({
    modules: specs.map((module) => ({
      name: module.name,
      methods: module.methods.map((method) => ({
        name: method.name,
        args: method.params.map((param) => hostArgType(param.type)),
      })),
      constants: [...module.constants],
    })),
    events: [...events],
  });
  const tunnel = (host: HostDescription) => host.modules.find((module) => module.name === 'VLVPNTunnel')!;

  test('finds nothing in a description that agrees', () => {
    assert.deepEqual(differences(specs, events, agreeing()), []);
  });

  test('finds a method added, removed, renamed or moved on one side', () => {
    const added = agreeing();
    tunnel(added).methods.push({name: 'rebootRouter', args: []});
    assert.deepEqual(differences(specs, events, added), ['method VLVPNTunnel.rebootRouter only in the host']);

    const renamed = agreeing();
    tunnel(renamed).methods[8]!.name = 'connect';
    assert.deepEqual(differences(specs, events, renamed), [
      'method VLVPNTunnel.connectOvpn only in the specs',
      'method VLVPNTunnel.connect only in the host',
    ]);

    const moved = agreeing();
    tunnel(moved).methods.reverse();
    assert.match(differences(specs, events, moved).join('\n'), /VLVPNTunnel: methods in another order/);
  });

  test('finds an argument retyped, added or dropped', () => {
    const retyped = agreeing();
    tunnel(retyped).methods.find((method) => method.name === 'pingThroughTunnel')!.args = ['string', 'string'];
    assert.deepEqual(differences(specs, events, retyped), [
      'VLVPNTunnel.pingThroughTunnel: specs take (string, int32), host takes (string, string)',
    ]);
    const dropped = agreeing();
    tunnel(dropped).methods.find((method) => method.name === 'saveOvpnProfile')!.args.pop();
    assert.equal(differences(specs, events, dropped).length, 1);
  });

  test('finds constants and events that differ', () => {
    const constants = agreeing();
    constants.modules.find((module) => module.name === 'VLVPNBuildConfig')!.constants.push('channel');
    assert.match(differences(specs, events, constants).join(), /VLVPNBuildConfig: constants/);
    const renamedEvent = agreeing();
    renamedEvent.events[5] = 'adapterChanged';
    assert.match(differences(specs, events, renamedEvent).join(), /^events /);
    const module = agreeing();
    module.modules.pop();
    assert.match(differences(specs, events, module).join(), /only in the specs/);
  });
});

describe('codegenConfig', () => {
  test('generates the Windows module-check header of every spec', (t) => {
    const out = scratchFolder(t);
    const config = JSON.parse(readFileSync(path.join(packageRoot, 'package.json'), 'utf8')).codegenConfig;
    assert.deepEqual(config.windows.generators, ['modulesWindows']);
    execFileSync(
      process.execPath,
      [
        require.resolve('@react-native-windows/codegen/bin.js'),
        '--files',
        path.join(packageRoot, config.jsSrcsDir, '*.ts'),
        '--modulesWindows',
        '--namespace',
        config.windows.namespace,
        '--libraryName',
        config.name,
        '--outputDirectory',
        out,
      ],
      {stdio: 'pipe'},
    );
    assert.deepEqual(readdirSync(out).filter((file) => file.endsWith('.g.h')).sort(), [
      'NativeVLVPNAuthSessionSpec.g.h',
      'NativeVLVPNBuildConfigSpec.g.h',
      'NativeVLVPNTunnelSpec.g.h',
    ]);
    const header = readFileSync(path.join(out, 'NativeVLVPNTunnelSpec.g.h'), 'utf8');
    assert.match(header, new RegExp(`namespace ${config.windows.namespace} \\{`));
    // Every method is checked against the module class, in table order.
    const checked = [...header.matchAll(/\{(\d+), L"(\w+)"\}/g)].map((match) => match[2]);
    assert.deepEqual(checked, specs.find((module) => module.name === 'VLVPNTunnel')!.methods.map((method) => method.name));
  });
});
