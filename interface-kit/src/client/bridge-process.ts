// One `VLVPNDesk --bridge` process and its JSON-lines protocol: a call is
// one line with an id, its answer comes back with the same id whenever its
// promise settles (answers may overtake one another), and events arrive
// between answers at any time.
import {spawn, type ChildProcess} from 'node:child_process';
import {createInterface} from 'node:readline';

import {nativeModuleError, type NativeModuleError} from '../errors';
import {EventListeners} from '../event-listeners';

// The code of the error a call gets when the program ended without answering it.
export const PROGRAM_ENDED_CODE = 'EPROGRAMENDED';

export interface BridgeProcessOptions {
  // VLVPNDesk, or VLVPNDesk.exe to run the Windows build under Wine.
  program: string;
  // More arguments after --bridge.
  args?: readonly string[];
  // Added to this process's environment.
  env?: NodeJS.ProcessEnv;
  cwd?: string;
  // The command that runs a .exe (default "wine").
  wine?: string;
}

export interface ProgramExit {
  code: number | null;
  signal: NodeJS.Signals | null;
}

interface PendingCall {
  label: string;
  resolve: (value: unknown) => void;
  reject: (error: NativeModuleError) => void;
}

interface Answer {
  id?: unknown;
  result?: unknown;
  error?: {code?: unknown; message?: unknown; userInfo?: unknown};
  event?: unknown;
  body?: unknown;
}

// How much of the program's standard error to keep for messages.
const stderrKept = 8192;
// How long output may still arrive after the program ended.
const outputGraceMs = 500;

export class BridgeProcess {
  readonly exited: Promise<ProgramExit>;

  private readonly child: ChildProcess;
  private readonly programName: string;
  private readonly pending = new Map<number, PendingCall>();
  private readonly listeners = new EventListeners();
  private nextId = 1;
  private exit: ProgramExit | undefined;
  private startError: Error | undefined;
  private stderrTail = '';

  constructor(options: BridgeProcessOptions) {
    const windows = /\.exe$/i.test(options.program);
    const command = windows ? (options.wine ?? 'wine') : options.program;
    const args = [...(windows ? [options.program] : []), '--bridge', ...(options.args ?? [])];
    this.programName = options.program.split(/[\\/]/).pop() ?? options.program;
    this.child = spawn(command, args, {
      cwd: options.cwd,
      env: {...process.env, ...options.env},
      stdio: ['pipe', 'pipe', 'pipe'],
    });
    // A write after the program ended fails here rather than as an unhandled error.
    this.child.stdin?.on('error', () => {});
    this.child.stderr?.setEncoding('utf8');
    this.child.stderr?.on('data', (text: string) => {
      this.stderrTail = (this.stderrTail + text).slice(-stderrKept);
    });
    createInterface({input: this.child.stdout!, crlfDelay: Infinity}).on('line', (line) => this.onLine(line));

    this.exited = new Promise((resolve) => {
      this.child.on('error', (error) => {
        // Spawning failed: there will be no 'close'.
        this.startError = error;
        this.finish({code: null, signal: null}, resolve);
      });
      // Under Wine, helper processes the program started may hold its output
      // open after it ended: answers already written are read, then it counts
      // as ended whether or not the output closes.
      this.child.on('exit', (code, signal) => {
        const done = () => this.finish({code, signal}, resolve);
        const grace = setTimeout(done, outputGraceMs);
        this.child.stdout!.once('end', () => {
          clearTimeout(grace);
          setImmediate(done);
        });
        if (this.child.stdout!.readableEnded) done();
      });
    });
  }

  get pid(): number | undefined {
    return this.child.pid;
  }

  get running(): boolean {
    return this.exit === undefined;
  }

  // What the program wrote on standard error lately.
  get stderr(): string {
    return this.stderrTail;
  }

  call(module: string, method: string, args: readonly unknown[]): Promise<unknown> {
    const label = `${module}.${method}`;
    if (!this.running) return Promise.reject(this.endedError(label));
    const id = this.nextId++;
    return new Promise((resolve, reject) => {
      this.pending.set(id, {label, resolve, reject});
      this.child.stdin!.write(JSON.stringify({id, module, method, args}) + '\n');
    });
  }

  addListener(event: string, listener: (body: unknown) => void): {remove(): void} {
    return this.listeners.add(event, listener);
  }

  // Ends the program the way the tray's exit does (end of input); kills it
  // when it has not ended after `graceMs`.
  async close(graceMs = 30_000): Promise<ProgramExit> {
    this.child.stdin?.end();
    const timer = setTimeout(() => this.child.kill('SIGKILL'), graceMs);
    try {
      return await this.exited;
    } finally {
      clearTimeout(timer);
    }
  }

  private onLine(line: string): void {
    let message: Answer;
    try {
      message = JSON.parse(line) as Answer;
    } catch {
      return;  // not a protocol line
    }
    if (message === null || typeof message !== 'object') return;
    if (typeof message.event === 'string') {
      this.listeners.emit(message.event, message.body);
      return;
    }
    if (typeof message.id !== 'number') return;
    const call = this.pending.get(message.id);
    if (!call) return;
    this.pending.delete(message.id);
    if (message.error) {
      const {code, message: text, userInfo} = message.error;
      call.reject(
        nativeModuleError(
          typeof text === 'string' ? text : `${call.label} failed`,
          typeof code === 'string' ? code : undefined,
          userInfo !== null && typeof userInfo === 'object' ? (userInfo as Record<string, unknown>) : {},
        ),
      );
    } else {
      // A void method answers null; React Native resolves it with undefined.
      call.resolve(message.result === null ? undefined : message.result);
    }
  }

  private finish(exit: ProgramExit, resolve: (exit: ProgramExit) => void): void {
    if (this.exit) return;
    this.exit = exit;
    for (const call of this.pending.values()) call.reject(this.endedError(call.label));
    this.pending.clear();
    resolve(exit);
  }

  private endedError(label: string): NativeModuleError {
    let how: string;
    if (this.startError) how = `could not be started (${this.startError.message})`;
    else if (this.exit?.signal) how = `ended by ${this.exit.signal}`;
    else how = `ended with exit code ${this.exit?.code}`;
    const tail = this.stderrTail.trim().split('\n').slice(-5).join('\n');
    return nativeModuleError(
      `${this.programName} ${how} before answering ${label}` + (tail ? `; its last words:\n${tail}` : ''),
      PROGRAM_ENDED_CODE,
      {exitCode: this.exit?.code ?? null, signal: this.exit?.signal ?? null},
    );
  }
}
