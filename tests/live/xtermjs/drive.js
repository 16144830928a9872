// xterm.js in headless Chromium, a program in a pseudo-terminal behind it.
// Usage: node drive.js CONFIG LOG CHROMIUM USERDIR PROGRAM ARGS... <KEYS
// CONFIG: legacy, kitty (vtExtensions.kittyKeyboard) or win32 (kittyKeyboard
// and win32InputMode). What the program writes is appended to LOG as it
// comes; what xterm.js sends it goes to LOG.sent, a line a write, in
// JSON. Each line of standard input is a key as xdotool names it
// (ctrl+shift+Up), typed as Chromium delivers a real key press: modifier
// keys down, the key down and up, modifier keys up, each with its code,
// key, keyCode, location and modifiers, so that xterm.js's own handler
// encodes it. Num_Lock and Caps_Lock turn the locks over. Ends with the
// program, after closing the browser.
'use strict';
const fs = require('fs');
const http = require('http');
const path = require('path');
const readline = require('readline');
const puppeteer = require('puppeteer-core');
const pty = require('@lydell/node-pty');

const [config, log, chromium, userdir, ...program] = process.argv.slice(2);
const options = {
  legacy: {},
  kitty: { vtExtensions: { kittyKeyboard: true } },
  win32: { vtExtensions: { kittyKeyboard: true, win32InputMode: true } },
}[config];
if (!options) {
  console.error(`unknown configuration ${config}`);
  process.exit(2);
}

// Keys: code, key, shifted key and keyCode (Windows' VK), as Chromium 156
// gives them for X key events on a US layout (measured); location 3 is the
// keypad. Chromium keeps Ctrl+Tab and Ctrl+Page Up/Down (tab switching) and
// closes the page on Alt+F4: those never reach a page.
const MODS = {
  shift: ['ShiftLeft', 'Shift', 16, 1, 8],
  ctrl: ['ControlLeft', 'Control', 17, 1, 2],
  alt: ['AltLeft', 'Alt', 18, 1, 1],
  Shift_L: ['ShiftLeft', 'Shift', 16, 1, 8],
  Control_L: ['ControlLeft', 'Control', 17, 1, 2],
  Control_R: ['ControlRight', 'Control', 17, 2, 2],
  Alt_L: ['AltLeft', 'Alt', 18, 1, 1],
};
const named = {
  space: ['Space', ' ', ' ', 32], minus: ['Minus', '-', '_', 189], semicolon: ['Semicolon', ';', ':', 186],
  comma: ['Comma', ',', '<', 188], slash: ['Slash', '/', '?', 191],
  Return: ['Enter', 'Enter', 'Enter', 13], Tab: ['Tab', 'Tab', 'Tab', 9],
  BackSpace: ['Backspace', 'Backspace', 'Backspace', 8], Escape: ['Escape', 'Escape', 'Escape', 27],
  Up: ['ArrowUp', 'ArrowUp', 'ArrowUp', 38], Down: ['ArrowDown', 'ArrowDown', 'ArrowDown', 40],
  Left: ['ArrowLeft', 'ArrowLeft', 'ArrowLeft', 37], Right: ['ArrowRight', 'ArrowRight', 'ArrowRight', 39],
  Home: ['Home', 'Home', 'Home', 36], End: ['End', 'End', 'End', 35],
  Prior: ['PageUp', 'PageUp', 'PageUp', 33], Next: ['PageDown', 'PageDown', 'PageDown', 34],
  Insert: ['Insert', 'Insert', 'Insert', 45], Delete: ['Delete', 'Delete', 'Delete', 46],
  Num_Lock: ['NumLock', 'NumLock', 'NumLock', 144], Caps_Lock: ['CapsLock', 'CapsLock', 'CapsLock', 20],
  KP_Multiply: ['NumpadMultiply', '*', '*', 106], KP_Subtract: ['NumpadSubtract', '-', '-', 109],
  KP_Add: ['NumpadAdd', '+', '+', 107], KP_Divide: ['NumpadDivide', '/', '/', 111],
  KP_Enter: ['NumpadEnter', 'Enter', 'Enter', 13],
};
// The keypad's digit block: its digit with NumLock on, else its other key.
const pad = {
  KP_Insert: ['0', 'Insert', 45], KP_End: ['1', 'End', 35], KP_Down: ['2', 'ArrowDown', 40],
  KP_Next: ['3', 'PageDown', 34], KP_Left: ['4', 'ArrowLeft', 37], KP_Begin: ['5', 'Clear', 12],
  KP_Right: ['6', 'ArrowRight', 39], KP_Home: ['7', 'Home', 36], KP_Up: ['8', 'ArrowUp', 38],
  KP_Prior: ['9', 'PageUp', 33], KP_Delete: ['.', 'Delete', 46],
};
const shifted = ')!@#$%^&*(';
let numlock = false, capslock = false;

// The DOM event fields of key `name` with Shift held or not.
function keyof(name, shift) {
  if (/^[a-z]$/.test(name)) {
    const up = shift !== capslock;
    return { code: 'Key' + name.toUpperCase(), key: up ? name.toUpperCase() : name, keyCode: name.toUpperCase().charCodeAt(0), location: 0 };
  }
  if (/^[0-9]$/.test(name)) return { code: 'Digit' + name, key: shift ? shifted[name] : name, keyCode: name.charCodeAt(0), location: 0 };
  if (/^F([1-9]|1[0-2])$/.test(name)) return { code: name, key: name, keyCode: 111 + Number(name.slice(1)), location: 0 };
  if (pad[name]) {
    const [digit, other, vk] = pad[name];
    // With Shift the key is the NumLock-off one, NumLock on or off.
    const on = numlock && !shift;
    const code = digit === '.' ? 'NumpadDecimal' : 'Numpad' + digit;
    return on ? { code, key: digit, keyCode: digit === '.' ? 110 : 96 + Number(digit), location: 3 }
      : { code, key: other, keyCode: vk, location: 3 };
  }
  const k = named[name];
  if (!k) throw new Error(`no key ${name}`);
  return { code: k[0], key: shift ? k[2] : k[1], keyCode: k[3], location: k[0].startsWith('Numpad') ? 3 : 0 };
}

// The text a key types (Chromium's keypress), none for a key that types none.
function textof(k) {
  if (k.key.length === 1) return k.key;
  return k.key === 'Enter' ? '\r' : '';
}

async function send(cdp, type, k, modifiers) {
  const text = type === 'keyDown' ? textof(k) : '';
  await cdp.send('Input.dispatchKeyEvent', {
    type: type === 'keyDown' && !text ? 'rawKeyDown' : type,
    modifiers, code: k.code, key: k.key, windowsVirtualKeyCode: k.keyCode,
    nativeVirtualKeyCode: k.keyCode, location: k.location, isKeypad: k.location === 3,
    text, unmodifiedText: text,
  });
}

// One key press, as xdotool names it: modifiers down, key down, key up,
// modifiers up.
async function press(cdp, combo) {
  const parts = combo.split('+');
  const name = parts.pop();
  let bits = 0;
  const held = [];
  for (const m of parts) {
    const [code, key, keyCode, location, bit] = MODS[m];
    bits |= bit;
    const k = { code, key, keyCode, location };
    held.push([k, bit]);
    await send(cdp, 'keyDown', k, bits);
  }
  if (MODS[name]) {
    const [code, key, keyCode, location, bit] = MODS[name];
    const k = { code, key, keyCode, location };
    await send(cdp, 'keyDown', k, bits | bit);
    await send(cdp, 'keyUp', k, bits);
  } else {
    const k = keyof(name, (bits & 8) !== 0);
    await send(cdp, 'keyDown', k, bits);
    await send(cdp, 'keyUp', k, bits);
    if (name === 'Num_Lock') numlock = !numlock;
    if (name === 'Caps_Lock') capslock = !capslock;
  }
  for (const [k, bit] of held.reverse()) {
    bits &= ~bit;
    await send(cdp, 'keyUp', k, bits);
  }
}

const page_html = `<!doctype html><html><head><meta charset="utf-8">
<link rel="stylesheet" href="/xterm.css"><script src="/xterm.js"></script></head>
<body><div id="t"></div><script>
const term = new Terminal(Object.assign({ cols: 100, rows: 30 }, ${JSON.stringify(options)}));
term.open(document.getElementById('t'));
term.onData(d => window.ptyin(d));
term.onBinary(d => window.ptyin(d));
window.feed = b64 => new Promise(r => term.write(Uint8Array.from(atob(b64), c => c.charCodeAt(0)), r));
term.focus();
</script></body></html>`;

const lib = path.dirname(require.resolve('@xterm/xterm/lib/xterm.js'));
const files = {
  '/': ['text/html', Buffer.from(page_html)],
  '/xterm.js': ['text/javascript', fs.readFileSync(path.join(lib, 'xterm.js'))],
  '/xterm.css': ['text/css', fs.readFileSync(path.join(lib, '..', 'css', 'xterm.css'))],
};

let browser, server, child;
function stop(code) {
  const p = browser && browser.process();
  if (p && p.exitCode === null) p.kill('SIGKILL');
  if (child) try { process.kill(child.pid, 'SIGKILL'); } catch (e) { /* gone already */ }
  process.exit(code);
}
process.on('SIGTERM', () => stop(1));
process.on('SIGINT', () => stop(1));

(async () => {
  server = http.createServer((req, res) => {
    const f = files[req.url];
    res.writeHead(f ? 200 : 404, { 'Content-Type': f ? f[0] : 'text/plain' });
    res.end(f ? f[1] : '');
  });
  await new Promise(r => server.listen(0, '127.0.0.1', r));
  browser = await puppeteer.launch({
    executablePath: chromium, pipe: true, ignoreDefaultArgs: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      `--user-data-dir=${userdir}`, 'about:blank'],
  });
  const page = (await browser.pages())[0];
  page.on('close', () => {
    console.error('the page was closed');
    stop(1);
  });
  const cdp = await page.createCDPSession();
  const sent = fs.openSync(log + '.sent', 'a');
  let ptyready;
  const ptyup = new Promise(r => { ptyready = r; });
  await page.exposeFunction('ptyin', async d => {
    fs.writeSync(sent, JSON.stringify(d) + '\n');
    (await ptyup).write(d);
  });
  await page.goto(`http://127.0.0.1:${server.address().port}/`);
  await page.waitForFunction('typeof window.feed === "function"');

  const out = fs.openSync(log, 'a');
  let chain = Promise.resolve();
  child = pty.spawn(program[0], program.slice(1), {
    name: 'xterm-256color', cols: 100, rows: 30, cwd: process.cwd(), env: process.env, encoding: null,
  });
  ptyready(child);
  child.onData(b => {
    fs.writeSync(out, b);
    const s = Buffer.from(b).toString('base64');
    chain = chain.then(() => page.evaluate(x => window.feed(x), s)).catch(() => {});
  });
  const exited = new Promise(r => child.onExit(r));

  // Keys are typed one after another, in the order they come.
  const lines = readline.createInterface({ input: process.stdin });
  let typing = Promise.resolve();
  lines.on('line', l => {
    if (l) typing = typing.then(() => press(cdp, l)).catch(e => console.error(`${l}: ${e.message}`));
  });

  await exited;
  child = null;
  await chain;
  page.removeAllListeners('close');
  await browser.close();
  server.close();
  stop(0);
})().catch(e => {
  console.error(e);
  stop(1);
});
