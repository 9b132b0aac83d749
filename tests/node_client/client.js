#!/usr/bin/env node
// A UPnP control point on node, as a phone or a web player built on the npm
// registry's packages finds and browses a server: SSDP discovery (node-ssdp),
// device description and Browse (upnp-device-client), DIDL-Lite read with
// elementtree.
//
//   client.js NAME OUTDIR PATH...
//
// Finds the MediaServer called NAME on interface "lo", walks each PATH by
// titles from the root ("Music/Albums/With Art") and prints one line for it:
//   PATH art=URL|none profile=P features=F caption=URL|none captionheader=URL|none
// where URL is the first upnp:albumArtURI (fetched into OUTDIR/N.jpg), P its
// dlna:profileID, F the contentFeatures.dlna.org header the art came with,
// caption the item's sec:CaptionInfoEx and captionheader the CaptionInfo.sec
// header of a GET of its first res that asks with getcaptionInfo.sec: 1.
// Exit status 1 when the server is not found in 10 seconds or a step fails.
'use strict';

const fs = require('fs');
const http = require('http');
const os = require('os');
const path = require('path');

// The server keeps connections that clients close open for good; a client
// that keeps them alive itself never lets the process end.
http.globalAgent = new http.Agent({keepAlive: false});

// node-ssdp speaks only on interfaces that are not loopback, and in the
// private namespace the tests run in, loopback is the only network there is.
const realInterfaces = os.networkInterfaces;
os.networkInterfaces = () => {
  const lo = (realInterfaces().lo || []).filter((a) => a.family === 'IPv4');
  return {lo: lo.map((a) => Object.assign({}, a, {internal: false}))};
};

const SsdpClient = require('node-ssdp').Client;
const DeviceClient = require('upnp-device-client');
const et = require('elementtree');

const MEDIA_SERVER = 'urn:schemas-upnp-org:device:MediaServer:1';

function fail(message) {
  process.stderr.write(message + '\n');
  process.exit(1);
}

// The device whose friendly name is `name`, by M-SEARCH (sent again each
// second, as datagrams get lost) and its description.
function discover(name, seconds) {
  return new Promise((resolve) => {
    const ssdp = new SsdpClient();
    const asked = new Set();
    const timer = setTimeout(() => fail('not found: ' + name), seconds * 1000);
    const again = setInterval(() => ssdp.search(MEDIA_SERVER), 1000);
    ssdp.on('response', (headers) => {
      const location = headers.LOCATION;
      if (!location || asked.has(location)) return;
      asked.add(location);
      const device = new DeviceClient(location);
      device.getDeviceDescription((err, desc) => {
        if (err || desc.friendlyName !== name) return;
        clearTimeout(timer);
        clearInterval(again);
        ssdp.stop();
        resolve(device);
      });
    });
    ssdp.search(MEDIA_SERVER);
  });
}

function browse(device, objectId) {
  return new Promise((resolve, reject) => {
    device.callAction('ContentDirectory', 'Browse', {
      ObjectID: objectId, BrowseFlag: 'BrowseDirectChildren', Filter: '*',
      StartingIndex: 0, RequestedCount: 0, SortCriteria: '',
    }, (err, result) => {
      if (err) return reject(err);
      const didl = et.parse(result.Result).getroot();
      const children = didl.getchildren();
      if (children.length !== Number(result.TotalMatches)) {
        return reject(new Error(`TotalMatches ${result.TotalMatches} but ${children.length} children`));
      }
      resolve(children);
    });
  });
}

// Headers and body of a GET; `limit` bytes at most are kept (a stream is
// left once its headers are in).
function get(url, headers, limit) {
  return new Promise((resolve, reject) => {
    const req = http.get(url, {headers, timeout: 20000}, (res) => {
      const parts = [];
      let size = 0;
      res.on('data', (chunk) => {
        parts.push(chunk);
        size += chunk.length;
        if (size >= limit) req.destroy();
      });
      const done = () => resolve({status: res.statusCode, headers: res.headers,
                                  body: Buffer.concat(parts).subarray(0, limit)});
      res.on('end', done);
      res.on('close', done);
    });
    req.on('timeout', () => req.destroy(new Error('timed out: ' + url)));
    req.on('error', reject);
  });
}

async function walk(device, steps) {
  let id = '0';
  let node = null;
  for (const step of steps.split('/')) {
    const children = await browse(device, id);
    node = children.find((c) => c.findtext('dc:title') === step);
    if (!node) {
      fail(`no ${step} under ${id}: ` + children.map((c) => c.findtext('dc:title')).join(', '));
    }
    id = node.get('id');
  }
  return node;
}

async function describe(node, artFile) {
  const words = [];
  const art = node.find('upnp:albumArtURI');
  if (art) {
    const reply = await get(art.text, {}, 4 << 20);
    if (reply.status !== 200) fail(`art ${art.text}: HTTP ${reply.status}`);
    fs.writeFileSync(artFile, reply.body);
    words.push('art=' + art.text, 'profile=' + (art.get('dlna:profileID') || '-'),
               'features=' + (reply.headers['contentfeatures.dlna.org'] || '-'));
  } else {
    words.push('art=none');
  }
  const caption = node.find('sec:CaptionInfoEx');
  words.push('caption=' + (caption ? caption.text : 'none'));
  const res = node.find('res');
  if (res) {
    const reply = await get(res.text, {'getcaptionInfo.sec': '1'}, 1);
    words.push('captionheader=' + (reply.headers['captioninfo.sec'] || 'none'));
  }
  return words.join(' ');
}

async function main() {
  const [name, outdir, ...paths] = process.argv.slice(2);
  if (!outdir) fail('usage: client.js NAME OUTDIR PATH...');
  const device = await discover(name, 10);
  for (const [n, steps] of paths.entries()) {
    const node = await walk(device, steps);
    console.log(steps + ' ' + await describe(node, path.join(outdir, n + '.jpg')));
  }
}

main().catch((e) => fail(e.stack || String(e)));
