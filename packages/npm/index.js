'use strict';
// Starts relauncher the way a hand-over needs it, on Windows and on Linux: from a copy
// outside the application's folder, detached, with no window and no inherited handles, and only resolves once it
// is running, so that the caller can quit at once.

const childProcess = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');

const DEFAULT_WAIT_TIMEOUT = 120;
// relauncher that has not exited this long after its start is waiting: it has read its
// command line (an unusable one exits at once) and holds the application's process.
const RUNNING_AFTER_MS = 300;

const KNOWN = new Set([
  'program', 'args', 'waitPid', 'relaunch', 'relaunchArgs', 'log', 'verbatim', 'waitTree',
  'waitTimeout', 'elevate', 'waitFolder', 'endFolderProcesses', 'relaunchOnFailure',
  'successCodes', 'retryCodes', 'retryFor', 'progress', 'holdShutdown', 'sha256', 'replace',
  'trial',
]);

function fail(option, what) {
  throw new TypeError(`relauncher: ${option} ${what}`);
}

// Text that a Windows command line can carry: no NUL.
function checkText(option, value, { empty = false } = {}) {
  if (typeof value !== 'string') fail(option, 'must be a string');
  if (!empty && value === '') fail(option, 'must not be empty');
  if (value.includes('\0')) fail(option, 'must not hold a NUL character');
  return value;
}

function checkTexts(option, value) {
  if (!Array.isArray(value)) fail(option, 'must be an array of strings');
  value.forEach((item) => checkText(option, item, { empty: true }));
  return value;
}

function checkWhole(option, value, low, high) {
  if (!Number.isSafeInteger(value) || value < low || value > high) {
    fail(option, `must be a whole number from ${low} to ${high}`);
  }
  return value;
}

function checkFlag(option, value) {
  if (value !== undefined && typeof value !== 'boolean') fail(option, 'must be true or false');
  return value === true;
}

function buildArguments(options) {
  if (options === null || typeof options !== 'object') {
    throw new TypeError('relauncher: the options must be an object');
  }
  for (const key of Object.keys(options)) {
    if (!KNOWN.has(key)) fail(key, 'is not an option');
  }
  const o = options;
  const line = [];
  const waitPid = o.waitPid === undefined ? process.pid : checkWhole('waitPid', o.waitPid, 1, 0xFFFFFFFF);
  line.push('--wait-pid', String(waitPid));
  const waitTimeout = o.waitTimeout === undefined ? DEFAULT_WAIT_TIMEOUT
    : checkWhole('waitTimeout', o.waitTimeout, 1, 86400);
  line.push('--wait-timeout', String(waitTimeout));
  if (o.log !== undefined) line.push('--log', checkText('log', o.log));
  if (o.relaunch !== undefined) line.push('--relaunch', checkText('relaunch', o.relaunch));
  if (o.relaunchArgs !== undefined) {
    if (o.relaunch === undefined) fail('relaunchArgs', 'needs relaunch');
    for (const arg of checkTexts('relaunchArgs', o.relaunchArgs)) line.push('--relaunch-arg', arg);
  }
  if (o.waitFolder !== undefined) {
    const folders = typeof o.waitFolder === 'string' ? [o.waitFolder] : o.waitFolder;
    if (!Array.isArray(folders) || folders.length === 0) fail('waitFolder', 'must be a string or an array of strings');
    for (const folder of folders) line.push('--wait-folder', checkText('waitFolder', folder));
  }
  if (o.successCodes !== undefined) {
    if (!Array.isArray(o.successCodes)) fail('successCodes', 'must be an array of exit codes');
    for (const code of o.successCodes) line.push('--success-code', String(checkWhole('successCodes', code, 0, 0xFFFFFFFF)));
  }
  if ((o.retryCodes === undefined) !== (o.retryFor === undefined)) {
    fail(o.retryCodes === undefined ? 'retryFor' : 'retryCodes', 'needs the other: retryCodes and retryFor go together');
  }
  if (o.retryCodes !== undefined) {
    if (!Array.isArray(o.retryCodes) || o.retryCodes.length === 0) fail('retryCodes', 'must be an array of exit codes');
    for (const code of o.retryCodes) {
      checkWhole('retryCodes', code, 1, 0xFFFFFFFF);
      if ((o.successCodes || []).includes(code)) fail('retryCodes', `holds ${code}, which successCodes holds too`);
      line.push('--retry-code', String(code));
    }
    line.push('--retry-for', String(checkWhole('retryFor', o.retryFor, 1, 86400)));
  }
  if (o.sha256 !== undefined) {
    if (!Array.isArray(o.sha256) || o.sha256.length === 0) fail('sha256', 'must be an array of { file, digest }');
    for (const entry of o.sha256) {
      if (entry === null || typeof entry !== 'object') fail('sha256', 'must be an array of { file, digest }');
      if (typeof entry.digest !== 'string' || !/^[0-9a-fA-F]{64}$/.test(entry.digest)) {
        fail('sha256', 'digest must be 64 hexadecimal digits');
      }
      line.push('--sha256', `${entry.digest}:${checkText('sha256 file', entry.file)}`);
    }
  }
  if (o.replace !== undefined) {
    const r = o.replace;
    if (r === null || typeof r !== 'object' || Object.keys(r).some((key) => key !== 'target' && key !== 'with')) {
      fail('replace', 'must be { target, with }');
    }
    line.push('--replace', checkText('replace target', r.target), '--with', checkText('replace with', r.with));
  }
  if (o.trial !== undefined) {
    if (o.replace === undefined || o.relaunch === undefined) fail('trial', 'needs replace and relaunch');
    line.push('--trial', String(checkWhole('trial', o.trial, 1, 600)));
  }
  if (o.progress !== undefined) line.push('--progress', checkText('progress', o.progress));
  if (checkFlag('holdShutdown', o.holdShutdown)) {
    if (o.progress === undefined) fail('holdShutdown', 'needs progress');
    line.push('--hold-shutdown');
  }
  const words = [['verbatim', '--verbatim'], ['waitTree', '--wait-tree'], ['elevate', '--elevate'],
    ['endFolderProcesses', '--end-folder-processes'], ['relaunchOnFailure', '--relaunch-on-failure']];
  for (const [option, word] of words) {
    if (checkFlag(option, o[option])) line.push(word);
  }
  // With a new version to put in place, the program is optional: the swap may be the update.
  if (o.program === undefined) {
    if (o.replace === undefined) fail('program', 'is required');
    if (o.args !== undefined) fail('args', 'needs program');
    return line;
  }
  line.push('--', checkText('program', o.program));
  return line.concat(o.args === undefined ? [] : checkTexts('args', o.args));
}

// Why relauncher refused its command line, from the log's `usage` line; empty when the
// log has none (or cannot be read).
function usageReason(log) {
  try {
    const match = / usage (.*?)\r?$/m.exec(fs.readFileSync(log, 'utf8'));
    return match ? match[1] : '';
  } catch {
    return '';
  }
}

// The executable each system runs, under bin/.
const BINARIES = { win32: 'relauncherw.exe', linux: 'relauncher-linux-x64' };

// Windows: a copy outside the application's folder, since the installer may replace
// that folder, and an executable inside an Electron archive cannot be started from there.
function windowsCopy(system) {
  const folder = fs.mkdtempSync(path.join(system.tmpdir || os.tmpdir(), 'relauncher-'));
  const exe = path.join(folder, BINARIES.win32);
  fs.copyFileSync(path.join(__dirname, 'bin', BINARIES.win32), exe);
  return { folder, exe };
}

// Linux: the same, in a private folder (0700) where the copy can run. The temporary
// folder is often mounted noexec, so each place is tried by running the copy: with no
// arguments it prints its usage line and exits with 2, where a noexec mount refuses it.
function linuxCopy(system) {
  const env = system.env || process.env;
  // ~/.cache last, as the cache folder when $XDG_CACHE_HOME is unset: a desktop session
  // without $XDG_RUNTIME_DIR whose temporary folder is noexec still has a place.
  const home = env.HOME ? path.join(env.HOME, '.cache') : '';
  const places = [env.XDG_RUNTIME_DIR, env.XDG_CACHE_HOME, system.tmpdir || os.tmpdir(),
    env.XDG_CACHE_HOME ? '' : home];
  for (const place of places.filter((base) => base)) {
    let folder;
    try {
      folder = fs.mkdtempSync(path.join(place, 'relauncher-'));
      fs.chmodSync(folder, 0o700);
      const exe = path.join(folder, 'relauncher');
      fs.copyFileSync(path.join(__dirname, 'bin', BINARIES.linux), exe);
      fs.chmodSync(exe, 0o700);
      const ran = childProcess.spawnSync(exe, [], { stdio: 'ignore' });
      if (!ran.error && ran.status === 2) return { folder, exe };
    } catch {
      // Not writable, or gone: the next place.
    }
    if (folder) fs.rmSync(folder, { recursive: true, force: true });
  }
  throw new Error('relauncher: its copy can run nowhere: $XDG_RUNTIME_DIR, $XDG_CACHE_HOME, '
    + 'the temporary folder and ~/.cache are missing, not writable or mounted noexec');
}

// `system` is for tests: the platform, the spawn function, the temporary folder and the
// environment.
function handOver(options, system = {}) {
  const platform = system.platform || process.platform;
  const spawn = system.spawn || childProcess.spawn;
  return new Promise((resolve, reject) => {
    // Every option is checked first, on every system, so that a mistake shows wherever
    // the caller's code runs.
    let args = buildArguments(options);
    if (!BINARIES[platform]) {
      reject(new Error(`relauncher runs on Windows and Linux only, not on ${platform}`));
      return;
    }
    if (platform === 'linux' && options.elevate === true) {
      throw new TypeError('relauncher: elevate has no meaning on Linux: run the program through pkexec');
    }
    const { folder, exe } = platform === 'win32' ? windowsCopy(system) : linuxCopy(system);
    // A log of its own when the caller gave none: an early exit can then say why.
    const log = options.log === undefined ? path.join(folder, 'relauncher.log') : options.log;
    if (options.log === undefined) args = buildArguments({ ...options, log });
    // Never windowsVerbatimArguments: relauncher's own arguments are quoted the usual way.
    // On Linux, detached starts a new session: the caller's end reaches it through none.
    const spawnOptions = platform === 'win32'
      ? { cwd: folder, detached: true, windowsHide: true, stdio: 'ignore' }
      : { cwd: folder, detached: true, stdio: 'ignore' };
    const child = spawn(exe, args, spawnOptions);
    let settled = false;
    const settle = (outcome) => {
      if (!settled) {
        settled = true;
        outcome();
      }
    };
    child.once('error', (error) => settle(() => reject(error)));
    child.once('exit', (code) => settle(() => {
      const reason = usageReason(log);
      const error = new Error(`relauncher exited with ${code} before the hand-over${reason ? `: ${reason}` : ''}`);
      error.exitCode = code;
      reject(error);
    }));
    setTimeout(() => settle(() => {
      child.unref();
      resolve({ pid: child.pid, executable: exe });
    }), RUNNING_AFTER_MS);
  });
}

module.exports = { handOver, buildArguments };
