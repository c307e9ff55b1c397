// The real native side for Node: runs `VLVPNDesk --bridge` and gives its
// modules the shape React Native gives them, typed by the same specs. Uses
// nothing but Node's own modules, so an interface test suite can drive the
// real program without React Native.
import type {Subscribe} from '../events';
import type {NativeModuleSpecs, VLVPNModuleName} from '../modules';
import {BridgeProcess, type BridgeProcessOptions, type ProgramExit} from './bridge-process';

export {PROGRAM_ENDED_CODE} from './bridge-process';
export type {BridgeProcessOptions as OpenNativeModulesOptions, ProgramExit} from './bridge-process';

export interface NativeModulesSession {
  NativeModules: NativeModuleSpecs;
  addListener: Subscribe;
  // Ends the program (end of input, as the tray's exit) and resolves once it
  // has; calls still pending then reject.
  close(): Promise<ProgramExit>;
  // Resolves when the program ends, however it ends.
  exited: Promise<ProgramExit>;
  readonly running: boolean;
  // The process started (for Wine, the wine command's).
  readonly pid: number | undefined;
  // What the program wrote on standard error lately, for diagnostics.
  readonly stderr: string;
}

const moduleNames: readonly VLVPNModuleName[] = ['VLVPNTunnel', 'VLVPNAuthSession', 'VLVPNBuildConfig'];

// Starts the program and resolves once it has answered; rejects when it
// cannot be started or ends first.
export async function openNativeModules(options: BridgeProcessOptions): Promise<NativeModulesSession> {
  const bridge = new BridgeProcess(options);
  // React Native reads constants once, before the first call, and hands them
  // out synchronously; so does this client.
  let constants: unknown[];
  try {
    constants = await Promise.all(moduleNames.map((name) => bridge.call(name, 'getConstants', [])));
  } catch (error) {
    await bridge.close(5_000);
    throw error;
  }
  const NativeModules = Object.fromEntries(
    moduleNames.map((name, index) => [name, moduleProxy(bridge, name, constants[index])]),
  ) as unknown as NativeModuleSpecs;
  return {
    NativeModules,
    addListener: (name, handler) => bridge.addListener(name, handler as (body: unknown) => void),
    close: () => bridge.close(),
    exited: bridge.exited,
    get running() {
      return bridge.running;
    },
    pid: bridge.pid,
    get stderr() {
      return bridge.stderr;
    },
  };
}

// Every method name becomes a call on the bridge; the host answers an
// unknown one with an error, as React Native would fail to find it.
function moduleProxy(bridge: BridgeProcess, name: string, constants: unknown): object {
  const methods = new Map<string, (...args: unknown[]) => unknown>();
  methods.set('getConstants', () => constants);
  return new Proxy(
    {},
    {
      get(_target, property) {
        // Not a method: awaiting the module, or printing it.
        if (typeof property !== 'string' || property === 'then' || property === 'toJSON') return undefined;
        let method = methods.get(property);
        if (!method) {
          method = (...args: unknown[]) => bridge.call(name, property, args);
          methods.set(property, method);
        }
        return method;
      },
    },
  );
}
