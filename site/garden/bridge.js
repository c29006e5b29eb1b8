// The host's way in. This classic script runs before the garden's modules
// and depends on nothing, so window.moodMode exists even if they fail to
// load. Words that arrive before the garden is ready wait for it.
(function () {
  'use strict';

  var WORDS = ['plant', 'menu', 'wall'];
  var handler = null;
  var waiting = null;
  var gaveUp = false;

  function post(message) {
    var host = window.chrome && window.chrome.webview;
    if (host && typeof host.postMessage === 'function') host.postMessage(message);
  }

  window.moodMode = function (word) {
    if (WORDS.indexOf(word) < 0) return;
    if (handler) handler(word);
    else if (gaveUp) { if (word === 'wall') post('showWall'); }
    else waiting = word;
  };

  window.gardenBridge = Object.freeze({
    post: post,
    hasHost: function () {
      return Boolean(window.chrome && window.chrome.webview);
    },
    connect: function (fn) {
      handler = fn;
      if (waiting) {
        var word = waiting;
        waiting = null;
        fn(word);
      }
    }
  });

  // The host keeps its window hidden until the page speaks. If the garden
  // never came up, say so on the page and let the window reach the desktop.
  window.addEventListener('load', function () {
    if (handler) return;
    gaveUp = true;
    document.documentElement.classList.add('broken');
    post('showWall');
  });
})();
