'use strict';
// The package's own tests, on any system: the arguments it builds, what it refuses, and
// how it starts relauncher (through an injected spawn function).

const test = require('node:test');
const assert = require('node:assert');
const childProcess = require('node:child_process');
const { EventEmitter } = require('node:events');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { handOver, buildArguments } = require('..');

const base = ['--wait-pid', '42', '--wait-timeout', '120'];

test('buildArguments gives each option its words, in a fixed order', () => {
  const cases = [
    [{ program: 'setup.exe' }, [...base, '--', 'setup.exe']],
    [{ program: 'C:\\Temp\\my setup.exe', args: ['/S', 'a "quoted" b', '', 'C:\\dir\\'] },
      [...base, '--', 'C:\\Temp\\my setup.exe', '/S', 'a "quoted" b', '', 'C:\\dir\\']],
    [{ program: 's', waitTimeout: 5, log: 'C:\\logs\\u.log' },
      ['--wait-pid', '42', '--wait-timeout', '5', '--log', 'C:\\logs\\u.log', '--', 's']],
    [{ program: 's', relaunch: 'C:\\App\\app.exe', relaunchArgs: ['--updated', 'x y'] },
      [...base, '--relaunch', 'C:\\App\\app.exe', '--relaunch-arg', '--updated', '--relaunch-arg', 'x y', '--', 's']],
    [{ program: 's', waitFolder: 'C:\\App' }, [...base, '--wait-folder', 'C:\\App', '--', 's']],
    [{ program: 's', waitFolder: ['C:\\A', 'D:\\B'], endFolderProcesses: true },
      [...base, '--wait-folder', 'C:\\A', '--wait-folder', 'D:\\B', '--end-folder-processes', '--', 's']],
    [{ program: 's', successCodes: [3010, 4294967295] },
      [...base, '--success-code', '3010', '--success-code', '4294967295', '--', 's']],
    [{ program: 's', retryCodes: [1618], retryFor: 600 }, [...base, '--retry-code', '1618', '--retry-for', '600', '--', 's']],
    [{ program: 's', progress: 'Updating "Example"', holdShutdown: true },
      [...base, '--progress', 'Updating "Example"', '--hold-shutdown', '--', 's']],
    [{ program: 's', verbatim: true, waitTree: true, elevate: true, relaunchOnFailure: true },
      [...base, '--verbatim', '--wait-tree', '--elevate', '--relaunch-on-failure', '--', 's']],
    [{ program: 's', verbatim: false, waitTree: false }, [...base, '--', 's']],
    [{ program: 's', sha256: [{ file: 'C:\\Temp\\a:b.msi', digest: 'AB'.repeat(32) }] },
      [...base, '--sha256', `${'AB'.repeat(32)}:C:\\Temp\\a:b.msi`, '--', 's']],
    // The swap alone needs no program; a trial needs the swap and a relaunch.
    [{ replace: { target: 'C:\\Apps\\Ex', with: 'C:\\Apps\\Ex-2' }, relaunch: 'C:\\Apps\\Ex\\ex.exe', trial: 30 },
      [...base, '--relaunch', 'C:\\Apps\\Ex\\ex.exe', '--replace', 'C:\\Apps\\Ex', '--with', 'C:\\Apps\\Ex-2',
        '--trial', '30']],
  ];
  for (const [options, expected] of cases) {
    assert.deepStrictEqual(buildArguments({ waitPid: 42, ...options }), expected);
  }
  assert.deepStrictEqual(buildArguments({ program: 's' }).slice(0, 4),
    ['--wait-pid', String(process.pid), '--wait-timeout', '120']);
});

test('buildArguments refuses a wrong type or value, naming the option', () => {
  const cases = [
    [{}, 'program'], [{ program: '' }, 'program'], [{ program: 7 }, 'program'],
    [{ program: 'a\0b' }, 'program'], [{ program: 's', args: 'x' }, 'args'],
    [{ program: 's', args: [1] }, 'args'], [{ program: 's', waitPid: 0 }, 'waitPid'],
    [{ program: 's', waitPid: 1.5 }, 'waitPid'], [{ program: 's', waitPid: '5' }, 'waitPid'],
    [{ program: 's', waitPid: 2 ** 32 }, 'waitPid'], [{ program: 's', waitTimeout: 0 }, 'waitTimeout'],
    [{ program: 's', waitTimeout: 86401 }, 'waitTimeout'], [{ program: 's', relaunch: '' }, 'relaunch'],
    [{ program: 's', relaunchArgs: ['x'] }, 'relaunchArgs'], [{ program: 's', log: 5 }, 'log'],
    [{ program: 's', verbatim: 'yes' }, 'verbatim'], [{ program: 's', waitTree: 1 }, 'waitTree'],
    [{ program: 's', elevate: null }, 'elevate'], [{ program: 's', waitFolder: [] }, 'waitFolder'],
    [{ program: 's', waitFolder: [''] }, 'waitFolder'], [{ program: 's', endFolderProcesses: 'x' }, 'endFolderProcesses'],
    [{ program: 's', relaunchOnFailure: 0 }, 'relaunchOnFailure'], [{ program: 's', successCodes: 3010 }, 'successCodes'],
    [{ program: 's', successCodes: [-1] }, 'successCodes'], [{ program: 's', successCodes: [2 ** 32] }, 'successCodes'],
    [{ program: 's', progress: '' }, 'progress'], [{ program: 's', holdShutdown: true }, 'holdShutdown'],
    [{ program: 's', waitpid: 5 }, 'waitpid'],
    [{ program: 's', retryCodes: [1618] }, 'retryCodes'], [{ program: 's', retryFor: 60 }, 'retryFor'],
    [{ program: 's', retryCodes: [0], retryFor: 60 }, 'retryCodes'], [{ program: 's', retryCodes: [], retryFor: 60 }, 'retryCodes'],
    [{ program: 's', retryCodes: [1618], retryFor: 86401 }, 'retryFor'],
    [{ program: 's', retryCodes: [3010], retryFor: 60, successCodes: [3010] }, 'retryCodes'],
    [{ program: 's', sha256: { file: 'a', digest: 'a'.repeat(64) } }, 'sha256'],
    [{ program: 's', sha256: [{ file: 'a', digest: 'a'.repeat(63) }] }, 'sha256'],
    [{ program: 's', sha256: [{ file: '', digest: 'a'.repeat(64) }] }, 'sha256'],
    [{ program: 's', sha256: [{ file: 'a', digest: 'g'.repeat(64) }] }, 'sha256'],
    [{ replace: { target: 'a' } }, 'replace with'], [{ program: 's', replace: 'a' }, 'replace'],
    [{ replace: { target: 'a', with: 'b', from: 'c' } }, 'replace'],
    [{ replace: { target: 'a', with: 'b' }, args: ['x'] }, 'args'],
    [{ program: 's', replace: { target: 'a', with: 'b' }, trial: 5 }, 'trial'],
    [{ program: 's', replace: { target: 'a', with: 'b' }, relaunch: 'a/x', trial: 601 }, 'trial'],
  ];
  for (const [options, option] of cases) {
    assert.throws(() => buildArguments(options), (error) => error instanceof TypeError && error.message.includes(option),
      JSON.stringify(options));
  }
  assert.throws(() => buildArguments(null), TypeError);
});

// A stand-in for child_process.spawn that records its call and exits when told, after
// appending `logged` to the --log file it was given, as relauncher would.
function fakeSpawn(exitAfterMs, logged = '') {
  const calls = [];
  const spawn = (file, args, options) => {
    const child = new EventEmitter();
    child.pid = 1234;
    child.unref = () => { child.unrefed = true; };
    calls.push({ file, args, options, child });
    if (exitAfterMs !== undefined) {
      setTimeout(() => {
        if (logged) fs.appendFileSync(args[args.indexOf('--log') + 1], logged);
        child.emit('exit', 2);
      }, exitAfterMs);
    }
    return child;
  };
  return { spawn, calls };
}

test('handOver starts a copy in a new temporary folder, detached, hidden, with no stdio', async () => {
  const tmpdir = fs.mkdtempSync(path.join(os.tmpdir(), 'relauncher-npm-test-'));
  const bin = path.join(__dirname, '..', 'bin');
  const made = !fs.existsSync(bin);
  fs.mkdirSync(bin, { recursive: true });
  const standIn = path.join(bin, 'relauncherw.exe');
  const existed = fs.existsSync(standIn);
  if (!existed) fs.writeFileSync(standIn, 'stand-in');
  try {
    const { spawn, calls } = fakeSpawn();
    const started = await handOver({ program: 'setup.exe', waitPid: 42 }, { platform: 'win32', spawn, tmpdir });
    assert.strictEqual(calls.length, 1);
    const [{ file, args, options, child }] = calls;
    assert.strictEqual(path.dirname(path.dirname(file)), tmpdir);
    assert.strictEqual(path.basename(file), 'relauncherw.exe');
    assert.ok(fs.existsSync(file), 'the copy exists');
    assert.deepStrictEqual(args, [...base, '--log', path.join(path.dirname(file), 'relauncher.log'), '--', 'setup.exe']);
    assert.deepStrictEqual(options, { cwd: path.dirname(file), detached: true, windowsHide: true, stdio: 'ignore' });
    assert.ok(child.unrefed);
    assert.deepStrictEqual(started, { pid: 1234, executable: file });

    // An unusable command line: the rejection says why, from the log's usage line,
    // whether the log is the package's own or the caller's.
    const usage = '2026-12-07T10:00:00.000Z 9 start version=1.3.0\r\n'
      + '2026-12-07T10:00:00.001Z 9 usage --wait-folder "C:\\" is not a folder of its own\r\n';
    const callersLog = path.join(tmpdir, 'caller.log');
    for (const log of [undefined, callersLog]) {
      const quick = fakeSpawn(50, usage);
      await assert.rejects(handOver({ program: 'setup.exe', log }, { platform: 'win32', spawn: quick.spawn, tmpdir }),
        (error) => error.exitCode === 2
          && error.message === 'relauncher exited with 2 before the hand-over: --wait-folder "C:\\" is not a folder of its own');
    }
    const silent = fakeSpawn(50);
    await assert.rejects(handOver({ program: 'setup.exe' }, { platform: 'win32', spawn: silent.spawn, tmpdir }),
      (error) => error.message === 'relauncher exited with 2 before the hand-over');
    const quick = fakeSpawn(50);
    await assert.rejects(handOver({ program: '' }, { platform: 'win32', spawn: quick.spawn, tmpdir }), TypeError);
  } finally {
    if (!existed) fs.rmSync(standIn);
    if (made) fs.rmSync(bin, { recursive: true });
    fs.rmSync(tmpdir, { recursive: true });
  }
});

test('handOver refuses at once on another system, spawning nothing, after checking every option', async () => {
  const { spawn, calls } = fakeSpawn();
  await assert.rejects(handOver({ program: 'setup' }, { platform: 'darwin', spawn }), /Windows and Linux only, not on darwin/);
  await assert.rejects(handOver({ program: 'setup', waitTimeout: 0 }, { platform: 'darwin', spawn }),
    (error) => error instanceof TypeError && error.message.includes('waitTimeout'));
  await assert.rejects(handOver({ program: 'setup', elevate: true }, { platform: 'linux', spawn }),
    (error) => error instanceof TypeError && error.message.includes('elevate'));
  assert.strictEqual(calls.length, 0);
});

test('handOver on Linux runs a private copy from the first place that lets it run', async () => {
  const places = fs.mkdtempSync(path.join(os.tmpdir(), 'relauncher-npm-test-'));
  const bin = path.join(__dirname, '..', 'bin');
  const made = !fs.existsSync(bin);
  fs.mkdirSync(bin, { recursive: true });
  const standIn = path.join(bin, 'relauncher-linux-x64');
  const existed = fs.existsSync(standIn);
  if (!existed) fs.writeFileSync(standIn, '#!/bin/sh\nexit 2\n');
  try {
    const cache = path.join(places, 'cache');
    fs.mkdirSync(cache);
    // The runtime folder is missing: the copy goes to the cache folder.
    const env = { XDG_RUNTIME_DIR: path.join(places, 'missing'), XDG_CACHE_HOME: cache };
    const { spawn, calls } = fakeSpawn();
    const started = await handOver({ program: 'setup', waitPid: 42 }, { platform: 'linux', spawn, env, tmpdir: places });
    const [{ file, args, options }] = calls;
    assert.strictEqual(path.dirname(path.dirname(file)), cache);
    assert.strictEqual(fs.statSync(path.dirname(file)).mode & 0o777, 0o700);
    assert.strictEqual(fs.statSync(file).mode & 0o777, 0o700);
    assert.deepStrictEqual(args, [...base, '--log', path.join(path.dirname(file), 'relauncher.log'), '--', 'setup']);
    assert.deepStrictEqual(options, { cwd: path.dirname(file), detached: true, stdio: 'ignore' });
    assert.deepStrictEqual(started, { pid: 1234, executable: file });
    // Both set: the runtime folder first. Neither set and the temporary folder unusable:
    // ~/.cache.
    const runtime = path.join(places, 'runtime');
    const home = path.join(places, 'home');
    fs.mkdirSync(runtime);
    fs.mkdirSync(path.join(home, '.cache'), { recursive: true });
    for (const [placeEnv, tmpdir, expected] of [
      [{ XDG_RUNTIME_DIR: runtime, XDG_CACHE_HOME: cache, HOME: home }, places, runtime],
      [{ HOME: home }, path.join(places, 'missing'), path.join(home, '.cache')],
    ]) {
      const more = fakeSpawn();
      await handOver({ program: 'setup', waitPid: 42 }, { platform: 'linux', spawn: more.spawn, env: placeEnv, tmpdir });
      assert.strictEqual(path.dirname(path.dirname(more.calls[0].file)), expected);
    }
    // A copy that cannot run anywhere: a rejection that says so, nothing spawned.
    fs.writeFileSync(standIn, 'not a program');
    await assert.rejects(handOver({ program: 'setup' }, { platform: 'linux', spawn, env: {}, tmpdir: places }),
      /can run nowhere/);
    assert.strictEqual(calls.length, 1);
  } finally {
    if (!existed) fs.rmSync(standIn);
    if (made) fs.rmSync(bin, { recursive: true });
    fs.rmSync(places, { recursive: true });
  }
});

test('npm pack refuses a package without the executables, saying so', () => {
  const copy = fs.mkdtempSync(path.join(os.tmpdir(), 'relauncher-npm-pack-'));
  try {
    for (const name of ['package.json', 'index.js', 'index.d.ts', 'README.md', 'check-binaries.js']) {
      fs.copyFileSync(path.join(__dirname, '..', name), path.join(copy, name));
    }
    const pack = childProcess.spawnSync('npm', ['pack', '--dry-run'], { cwd: copy, encoding: 'utf8' });
    assert.notStrictEqual(pack.status, 0);
    assert.match(pack.stderr, /cannot pack without the executables: .*relauncher\.exe, .*relauncherw\.exe, .*relauncher-linux-x64 missing/);
  } finally {
    fs.rmSync(copy, { recursive: true });
  }
});

test("the package's version is relauncher's own", () => {
  const cmake = fs.readFileSync(path.join(__dirname, '..', '..', '..', 'CMakeLists.txt'), 'utf8');
  const version = /project\(relauncher VERSION (\S+)/.exec(cmake)[1];
  assert.strictEqual(require('../package.json').version, version);
});
