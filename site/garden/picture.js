// 存成图片: the wall as it is now, as a PNG at the screen's size. A copy of
// the wall's own markup, with the page's own style, drawn as an SVG image
// onto a canvas: the browser lays it out exactly as on the screen, and
// nothing of the menu or the editor is in it.

function styleText() {
  return [...document.styleSheets].flatMap((sheet) => [...sheet.cssRules].map((rule) => rule.cssText)).join('\n');
}

// The wall in a box of the window's size: fixed on the screen, absolute in
// the picture. A flower still growing in is drawn grown. The serializer
// writes HTML elements as XHTML, which an SVG image reads.
function wallCopy(width, height) {
  const box = document.createElement('div');
  box.style.cssText = `position:relative;width:${width}px;height:${height}px;overflow:hidden;`
    + `background:${getComputedStyle(document.body).backgroundColor}`;
  const style = document.createElement('style');
  style.textContent = `${styleText()}\n.wall { position: absolute; }`;
  const wall = document.getElementById('wall').cloneNode(true);
  wall.removeAttribute('inert');
  wall.removeAttribute('id');
  for (const grow of wall.querySelectorAll('.grow')) grow.classList.remove('grow');
  box.append(style, wall);
  return new XMLSerializer().serializeToString(box);
}

export async function wallPicture() {
  const width = window.innerWidth;
  const height = window.innerHeight;
  const scale = window.devicePixelRatio || 1;
  const svg = `<svg xmlns="http://www.w3.org/2000/svg" width="${width}" height="${height}">`
    + `<foreignObject width="100%" height="100%">${wallCopy(width, height)}</foreignObject></svg>`;
  const image = new Image();
  image.src = `data:image/svg+xml;charset=utf-8,${encodeURIComponent(svg)}`;
  await image.decode();
  const canvas = document.createElement('canvas');
  canvas.width = Math.round(width * scale);
  canvas.height = Math.round(height * scale);
  canvas.getContext('2d').drawImage(image, 0, 0, canvas.width, canvas.height);
  return new Promise((resolve, reject) => {
    canvas.toBlob((blob) => (blob ? resolve(blob) : reject(new Error('图片没能生成'))), 'image/png');
  });
}
